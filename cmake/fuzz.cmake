# Settings of a fuzz build (-DTALVORO_FUZZ=ON), included by the top-level
# CMakeLists.txt before the engine's libraries are added: everything is
# instrumented for libFuzzer, AddressSanitizer and UBSan; only the fuzz
# targets themselves link the libFuzzer runtime (tests/fuzz).
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR
   NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR
    "TALVORO_FUZZ needs clang (libFuzzer); this build uses "
    "${CMAKE_CXX_COMPILER_ID}. Configure a fresh build directory with "
    "CC=clang CXX=clang++, e.g. scripts/fuzz.sh.")
endif()
if(TALVORO_TSAN)
  message(FATAL_ERROR "TALVORO_FUZZ cannot be combined with TALVORO_TSAN")
endif()
# UBSan's "function" check (calls through a function pointer of another
# type) is left out: clang 14 cannot emit its prologue data for the split
# parts of a coroutine ("Cannot represent a difference across sections").
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined
                    -fno-sanitize=function -fno-sanitize-recover=undefined
                    -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)
# Asio 1.22 enables co_await under clang only with the coroutines TS header
# <experimental/coroutine>, which libstdc++ does not have; clang 14 does
# support the C++20 <coroutine> that Asio then uses.
add_compile_definitions(ASIO_HAS_CO_AWAIT=1)
