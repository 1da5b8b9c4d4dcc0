src/download/CMakeFiles/talvoro_download.dir/url.cc.o: \
 /work/main/src/download/url.cc /usr/include/stdc-predef.h
