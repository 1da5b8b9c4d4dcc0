file(REMOVE_RECURSE
  "CMakeFiles/talvoro_app.dir/app.cc.o"
  "CMakeFiles/talvoro_app.dir/app.cc.o.d"
  "CMakeFiles/talvoro_app.dir/handoff.cc.o"
  "CMakeFiles/talvoro_app.dir/handoff.cc.o.d"
  "CMakeFiles/talvoro_app.dir/process_posix.cc.o"
  "CMakeFiles/talvoro_app.dir/process_posix.cc.o.d"
  "libtalvoro_app.a"
  "libtalvoro_app.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/talvoro_app.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
