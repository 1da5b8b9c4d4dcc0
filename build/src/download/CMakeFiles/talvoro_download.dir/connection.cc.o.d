src/download/CMakeFiles/talvoro_download.dir/connection.cc.o: \
 /work/main/src/download/connection.cc /usr/include/stdc-predef.h
