ui/CMakeFiles/talvoro_ui.dir/src/ui.cc.o: /work/main/ui/src/ui.cc \
 /usr/include/stdc-predef.h
