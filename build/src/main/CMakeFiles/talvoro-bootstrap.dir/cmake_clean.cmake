file(REMOVE_RECURSE
  "../../talvoro-bootstrap"
  "../../talvoro-bootstrap.pdb"
  "CMakeFiles/talvoro-bootstrap.dir/main.cc.o"
  "CMakeFiles/talvoro-bootstrap.dir/main.cc.o.d"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/talvoro-bootstrap.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
