// Decoding of PNG pictures into 8-bit RGBA pixels.
#ifndef TALVORO_UI_SRC_PNG_IMAGE_H_
#define TALVORO_UI_SRC_PNG_IMAGE_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace talvoro::ui {

// Decoded pixels: rows top to bottom, 4 bytes per pixel (R, G, B, A with
// straight alpha), stride width * 4.
struct RgbaImage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> pixels;
};

// Prefix of every decoding error.
inline constexpr std::string_view kPngErrorPrefix = "invalid PNG picture: ";
// Largest accepted picture, in pixels (64 MiB of RGBA).
inline constexpr uint64_t kMaxPngPixels = uint64_t{1} << 24;

// Decodes a whole PNG file held in memory, checking every chunk's checksum
// up to the end chunk. Any colour type and bit depth is converted to 8-bit
// RGBA (16-bit samples are scaled, pixels without alpha become opaque);
// colour values are not otherwise changed. Returns an error with
// ErrorKind::kStartup, whose text starts with kPngErrorPrefix and names the
// fault, for data that is not a complete, intact PNG or that exceeds
// kMaxPngPixels. Never reads outside `data`.
Result<RgbaImage> DecodePng(std::span<const uint8_t> data);

}  // namespace talvoro::ui

#endif  // TALVORO_UI_SRC_PNG_IMAGE_H_
