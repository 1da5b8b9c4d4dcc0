file(REMOVE_RECURSE
  "CMakeFiles/talvoro_libui.dir/gtk/main.c.o"
  "CMakeFiles/talvoro_libui.dir/gtk/main.c.o.d"
  "libtalvoro_libui.a"
  "libtalvoro_libui.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang C)
  include(CMakeFiles/talvoro_libui.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
