# Turns a file into a C++ source that defines it as a byte array.
#   cmake -DINPUT=<file> -DOUTPUT=<file.cc> -DFUNCTION=<name> -P embed_file.cmake
# The generated function returns std::span<const uint8_t> in namespace
# talvoro::ui.
foreach(var INPUT OUTPUT FUNCTION)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "embed_file.cmake: ${var} is not set")
  endif()
endforeach()

file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
# 0x.. for every byte, 16 bytes to a line.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")

file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT} by embed_file.cmake; do not edit.
#include <cstdint>
#include <span>

namespace talvoro::ui {
namespace {
alignas(8) const uint8_t kBytes[${size}] = {
    ${bytes}
};
}  // namespace

std::span<const uint8_t> ${FUNCTION}() { return {kBytes, sizeof kBytes}; }

}  // namespace talvoro::ui
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
