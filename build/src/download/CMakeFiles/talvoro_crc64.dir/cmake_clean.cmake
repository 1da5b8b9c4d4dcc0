file(REMOVE_RECURSE
  "CMakeFiles/talvoro_crc64.dir/crc64.cc.o"
  "CMakeFiles/talvoro_crc64.dir/crc64.cc.o.d"
  "libtalvoro_crc64.a"
  "libtalvoro_crc64.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/talvoro_crc64.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
