
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/main/src/download/connection.cc" "src/download/CMakeFiles/talvoro_download.dir/connection.cc.o" "gcc" "src/download/CMakeFiles/talvoro_download.dir/connection.cc.o.d"
  "/work/main/src/download/download.cc" "src/download/CMakeFiles/talvoro_download.dir/download.cc.o" "gcc" "src/download/CMakeFiles/talvoro_download.dir/download.cc.o.d"
  "/work/main/src/download/executor.cc" "src/download/CMakeFiles/talvoro_download.dir/executor.cc.o" "gcc" "src/download/CMakeFiles/talvoro_download.dir/executor.cc.o.d"
  "/work/main/src/download/http.cc" "src/download/CMakeFiles/talvoro_download.dir/http.cc.o" "gcc" "src/download/CMakeFiles/talvoro_download.dir/http.cc.o.d"
  "/work/main/src/download/integrity.cc" "src/download/CMakeFiles/talvoro_download.dir/integrity.cc.o" "gcc" "src/download/CMakeFiles/talvoro_download.dir/integrity.cc.o.d"
  "/work/main/src/download/url.cc" "src/download/CMakeFiles/talvoro_download.dir/url.cc.o" "gcc" "src/download/CMakeFiles/talvoro_download.dir/url.cc.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  "/work/main/build/src/download/CMakeFiles/talvoro_crc64.dir/DependInfo.cmake"
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
