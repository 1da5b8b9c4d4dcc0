src/main/CMakeFiles/talvoro-bootstrap.dir/main.cc.o: \
 /work/main/src/main/main.cc /usr/include/stdc-predef.h
