ui/CMakeFiles/talvoro_libui.dir/gtk/main.c.o: /work/main/ui/gtk/main.c \
 /usr/include/stdc-predef.h
