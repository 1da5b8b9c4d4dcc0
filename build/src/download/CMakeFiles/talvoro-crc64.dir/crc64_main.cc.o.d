src/download/CMakeFiles/talvoro-crc64.dir/crc64_main.cc.o: \
 /work/main/src/download/crc64_main.cc /usr/include/stdc-predef.h
