
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/main/src/main/main.cc" "src/main/CMakeFiles/talvoro-bootstrap.dir/main.cc.o" "gcc" "src/main/CMakeFiles/talvoro-bootstrap.dir/main.cc.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  "/work/main/build/src/main/CMakeFiles/talvoro_app.dir/DependInfo.cmake"
  "/work/main/build/src/download/CMakeFiles/talvoro_download.dir/DependInfo.cmake"
  "/work/main/build/src/download/CMakeFiles/talvoro_crc64.dir/DependInfo.cmake"
  "/work/main/build/ui/CMakeFiles/talvoro_ui.dir/DependInfo.cmake"
  "/work/main/build/ui/CMakeFiles/talvoro_libui.dir/DependInfo.cmake"
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
