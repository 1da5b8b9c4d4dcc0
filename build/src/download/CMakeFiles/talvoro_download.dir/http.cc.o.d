src/download/CMakeFiles/talvoro_download.dir/http.cc.o: \
 /work/main/src/download/http.cc /usr/include/stdc-predef.h
