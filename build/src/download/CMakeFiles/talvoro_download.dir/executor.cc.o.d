src/download/CMakeFiles/talvoro_download.dir/executor.cc.o: \
 /work/main/src/download/executor.cc /usr/include/stdc-predef.h
