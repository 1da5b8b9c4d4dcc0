file(REMOVE_RECURSE
  "CMakeFiles/talvoro_ui.dir/src/ui.cc.o"
  "CMakeFiles/talvoro_ui.dir/src/ui.cc.o.d"
  "libtalvoro_ui.a"
  "libtalvoro_ui.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/talvoro_ui.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
