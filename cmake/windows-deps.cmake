# Third-party pieces of the Windows build, made available under the same
# target names as on Linux:
#   Asio::Asio     Debian's header-only Asio, through a folder of links (the
#                  MinGW compiler must never see /usr/include)
#   PNG::PNG       libpng, compiled from Debian's libpng1.6 sources that
#                  scripts/deps.sh windows unpacks into .deps/libpng
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

# --- zlib and libpng ---
# The static archive, not the import library of zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)
set(TALVORO_LIBPNG_SOURCE ${PROJECT_SOURCE_DIR}/.deps/libpng CACHE PATH
    "Unpacked libpng sources (scripts/deps.sh windows puts them here)")
if(NOT EXISTS ${TALVORO_LIBPNG_SOURCE}/png.c)
  message(FATAL_ERROR "libpng sources not found in ${TALVORO_LIBPNG_SOURCE}: "
                      "run scripts/deps.sh windows")
endif()
# libpng configured for what the program does with it: read one PNG in
# sequence with the expand, 16-to-8, grey-to-RGB, filler and interlace
# transforms. Writing, progressive reading, the simplified API, stdio, text
# and the other ancillary chunks, colour management and the other
# transforms are left out of the prebuilt configuration.
set(png_config ${CMAKE_BINARY_DIR}/libpng-config)
file(STRINGS ${TALVORO_LIBPNG_SOURCE}/scripts/pnglibconf.h.prebuilt
     png_config_lines)
set(png_dropped "WRITE|PROGRESSIVE|SIMPLIFIED|STDIO|CONSOLE_IO|TIME|TEXT|tEXt"
    "|zTXt|iTXt|bKGD|BACKGROUND|hIST|oFFs|pCAL|pHYs|sCAL|sPLT|tIME|eXIf|iCCP"
    "|sBIT|QUANTIZE|RGB_TO_GRAY|BGR|SWAP|INVERT|PACK|SHIFT|STRIP|ALPHA_MODE"
    "|USER_TRANSFORM|MNG|INCH|UNKNOWN|USER_CHUNKS|FORMAT_|GRAYSCALE_PALETTE"
    "|PALETTE_MAX|INVALID_INDEX|IO_STATE|EXPAND_16|COMPOSITE|OPT_PLTE"
    "|GAMMA|gAMA|cHRM|sRGB|COLORSPACE|SAVE_INT|INFO_IMAGE")
string(JOIN "" png_dropped ${png_dropped})
set(png_config_text "")
foreach(line IN LISTS png_config_lines)
  if(line MATCHES "^#define PNG_[A-Za-z0-9_]*(${png_dropped})[A-Za-z0-9_]*_SUPPORTED")
    continue()
  endif()
  string(APPEND png_config_text "${line}\n")
endforeach()
file(WRITE ${png_config}/pnglibconf.h.new "${png_config_text}")
configure_file(${png_config}/pnglibconf.h.new ${png_config}/pnglibconf.h
               COPYONLY)
set(png_sources)
foreach(unit png pngerror pngget pngmem pngpread pngread pngrio pngrtran
        pngrutil pngset pngtrans pngwio pngwrite pngwtran pngwutil)
  list(APPEND png_sources ${TALVORO_LIBPNG_SOURCE}/${unit}.c)
endforeach()
add_library(talvoro_png STATIC ${png_sources})
target_include_directories(talvoro_png SYSTEM PUBLIC ${TALVORO_LIBPNG_SOURCE}
                                                     ${png_config})
target_link_libraries(talvoro_png PUBLIC ZLIB::ZLIB)
add_library(PNG::PNG ALIAS talvoro_png)

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
