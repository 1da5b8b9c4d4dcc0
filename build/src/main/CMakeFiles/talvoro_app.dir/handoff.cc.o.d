src/main/CMakeFiles/talvoro_app.dir/handoff.cc.o: \
 /work/main/src/main/handoff.cc /usr/include/stdc-predef.h
