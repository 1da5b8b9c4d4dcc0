file(REMOVE_RECURSE
  "CMakeFiles/talvoro_download.dir/connection.cc.o"
  "CMakeFiles/talvoro_download.dir/connection.cc.o.d"
  "CMakeFiles/talvoro_download.dir/download.cc.o"
  "CMakeFiles/talvoro_download.dir/download.cc.o.d"
  "CMakeFiles/talvoro_download.dir/executor.cc.o"
  "CMakeFiles/talvoro_download.dir/executor.cc.o.d"
  "CMakeFiles/talvoro_download.dir/http.cc.o"
  "CMakeFiles/talvoro_download.dir/http.cc.o.d"
  "CMakeFiles/talvoro_download.dir/integrity.cc.o"
  "CMakeFiles/talvoro_download.dir/integrity.cc.o.d"
  "CMakeFiles/talvoro_download.dir/url.cc.o"
  "CMakeFiles/talvoro_download.dir/url.cc.o.d"
  "libtalvoro_download.a"
  "libtalvoro_download.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/talvoro_download.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
