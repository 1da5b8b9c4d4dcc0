src/main/CMakeFiles/talvoro_app.dir/app.cc.o: /work/main/src/main/app.cc \
 /usr/include/stdc-predef.h
