src/download/CMakeFiles/talvoro_download.dir/integrity.cc.o: \
 /work/main/src/download/integrity.cc /usr/include/stdc-predef.h
