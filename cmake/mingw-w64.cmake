# Cross build of the Windows programs with Debian's MinGW-w64 (posix thread
# model, which std::thread and Asio need):
#   cmake -S . -B build-win --toolchain cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TALVORO_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TALVORO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TALVORO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TALVORO_MINGW_TRIPLE}-windres)

# Libraries and headers come from the MinGW tree only: glibc's headers in
# /usr/include would shadow MinGW's.
set(CMAKE_FIND_ROOT_PATH /usr/${TALVORO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Statically linked: nothing but Windows' own DLLs beside the programs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
