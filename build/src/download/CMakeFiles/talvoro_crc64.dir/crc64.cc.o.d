src/download/CMakeFiles/talvoro_crc64.dir/crc64.cc.o: \
 /work/main/src/download/crc64.cc /usr/include/stdc-predef.h
