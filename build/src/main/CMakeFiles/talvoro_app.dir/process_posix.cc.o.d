src/main/CMakeFiles/talvoro_app.dir/process_posix.cc.o: \
 /work/main/src/main/process_posix.cc /usr/include/stdc-predef.h
