# Third-party pieces of the Windows build, made available under the same
# target names as on Linux:
#   Asio::Asio     Debian's header-only Asio, through a folder of links (the
#                  MinGW compiler must never see /usr/include)
#   GTest::gtest, GTest::gtest_main
#                  GoogleTest from the sources of Debian's googletest package
# Included before the project's warning flags, which are for its own code.

# --- Asio ---
set(TALVORO_ASIO_HEADERS /usr/include CACHE PATH
    "Folder holding asio.hpp and asio/ (Debian's libasio-dev)")
set(asio_links ${CMAKE_BINARY_DIR}/asio-include)
file(MAKE_DIRECTORY ${asio_links})
foreach(entry asio.hpp asio)
  if(NOT EXISTS ${TALVORO_ASIO_HEADERS}/${entry})
    message(FATAL_ERROR "${TALVORO_ASIO_HEADERS}/${entry} not found: "
                        "install libasio-dev (scripts/deps.sh windows)")
  endif()
  file(CREATE_LINK ${TALVORO_ASIO_HEADERS}/${entry} ${asio_links}/${entry}
       SYMBOLIC)
endforeach()
add_library(talvoro_asio INTERFACE)
target_include_directories(talvoro_asio SYSTEM INTERFACE ${asio_links})
# Windows 10 and later; Asio picks its I/O completion port reactor.
target_compile_definitions(talvoro_asio INTERFACE _WIN32_WINNT=0x0A00
                           WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_libraries(talvoro_asio INTERFACE ws2_32 mswsock Threads::Threads)
add_library(Asio::Asio ALIAS talvoro_asio)

# --- GoogleTest ---
if(TALVORO_BUILD_TESTS)
  set(TALVORO_GTEST_SOURCE /usr/src/googletest CACHE PATH
      "GoogleTest sources (Debian's googletest package)")
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${TALVORO_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest
                   EXCLUDE_FROM_ALL)
endif()
