src/download/CMakeFiles/talvoro_download.dir/download.cc.o: \
 /work/main/src/download/download.cc /usr/include/stdc-predef.h
