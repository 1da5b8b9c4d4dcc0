#include "ui/src/png_image.h"

#include <png.h>

#include <string>

namespace talvoro::ui {
namespace {

Error PngError(std::string_view detail) {
  return InputError(std::string(kPngErrorPrefix) + std::string(detail));
}

}  // namespace

Result<RgbaImage> DecodePng(std::span<const uint8_t> data) {
  if (data.empty()) return PngError("no data");
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  // libpng's simplified API catches every decoding fault itself (through
  // its own setjmp) and reports it in image.message.
  if (!png_image_begin_read_from_memory(&image, data.data(), data.size())) {
    Error error = PngError(image.message);
    png_image_free(&image);
    return error;
  }
  if (uint64_t{image.width} * image.height > kMaxPngPixels) {
    png_image_free(&image);
    return PngError("picture too large");
  }
  image.format = PNG_FORMAT_RGBA;
  RgbaImage out;
  out.width = image.width;
  out.height = image.height;
  out.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.pixels.data(),
                             PNG_IMAGE_ROW_STRIDE(image), nullptr)) {
    Error error = PngError(image.message);
    png_image_free(&image);
    return error;
  }
  png_image_free(&image);
  return out;
}

}  // namespace talvoro::ui
