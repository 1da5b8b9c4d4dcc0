file(REMOVE_RECURSE
  "../../talvoro-crc64"
  "../../talvoro-crc64.pdb"
  "CMakeFiles/talvoro-crc64.dir/crc64_main.cc.o"
  "CMakeFiles/talvoro-crc64.dir/crc64_main.cc.o.d"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/talvoro-crc64.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
