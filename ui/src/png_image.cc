#include "ui/src/png_image.h"

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace talvoro::ui {
namespace {

// What libpng's callbacks work on. Plain data only: libpng leaves its
// functions by longjmp, which must not skip a C++ destructor.
struct Source {
  const uint8_t* data;
  size_t size;
  size_t pos;
  char message[160];
};

void ReadData(png_structp png, png_bytep out, size_t n) {
  auto* source = static_cast<Source*>(png_get_io_ptr(png));
  if (n > source->size - source->pos) png_error(png, "unexpected end of data");
  std::memcpy(out, source->data + source->pos, n);
  source->pos += n;
}

void OnError(png_structp png, png_const_charp message) {
  auto* source = static_cast<Source*>(png_get_error_ptr(png));
  // Cut to the buffer, always terminated.
  const size_t n = std::min(std::strlen(message), sizeof source->message - 1);
  std::memcpy(source->message, message, n);
  source->message[n] = '\0';
  png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

// Reads the header and sets up the conversion to 8-bit RGBA. Returns false
// with the reason in source->message. No C++ objects live in this frame.
bool ReadHeader(png_structp png, png_infop info, uint32_t* width,
                uint32_t* height, size_t* row_bytes) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_info(png, info);
  png_set_expand(png);    // palette and small grey to 8 bits, tRNS to alpha
  png_set_scale_16(png);  // 16 bits to 8
  png_set_gray_to_rgb(png);
  png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);  // only where none is
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  *width = png_get_image_width(png, info);
  *height = png_get_image_height(png, info);
  *row_bytes = png_get_rowbytes(png, info);
  return true;
}

// Decodes the rows and checks the rest of the file up to its end chunk.
bool ReadRows(png_structp png, png_infop info, png_bytepp rows) {
  (void)info;
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_image(png, rows);
  png_read_end(png, nullptr);
  return true;
}

Error PngError(std::string_view detail) {
  return StartupError(std::string(kPngErrorPrefix) + std::string(detail));
}

// Owns libpng's read state.
class PngReader {
 public:
  explicit PngReader(Source* source)
      : png_(png_create_read_struct(PNG_LIBPNG_VER_STRING, source, &OnError,
                                    &OnWarning)),
        info_(png_ != nullptr ? png_create_info_struct(png_) : nullptr) {}
  ~PngReader() { png_destroy_read_struct(&png_, &info_, nullptr); }
  PngReader(const PngReader&) = delete;
  PngReader& operator=(const PngReader&) = delete;

  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

 private:
  png_structp png_;
  png_infop info_;
};

}  // namespace

Result<RgbaImage> DecodePng(std::span<const uint8_t> data) {
  if (data.empty()) return PngError("no data");
  constexpr size_t kSignatureSize = 8;
  if (data.size() < kSignatureSize ||
      png_sig_cmp(data.data(), 0, kSignatureSize) != 0) {
    return PngError("not a PNG file");
  }
  Source source{data.data(), data.size(), 0, {}};
  PngReader reader(&source);
  if (reader.info() == nullptr) return PngError("out of memory");
  png_structp png = reader.png();
  png_set_read_fn(png, &source, &ReadData);
  // A damaged checksum fails the picture, in every kind of chunk.
  png_set_crc_action(png, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);

  uint32_t width, height;
  size_t row_bytes;
  if (!ReadHeader(png, reader.info(), &width, &height, &row_bytes)) {
    return PngError(source.message);
  }
  if (uint64_t{width} * height > kMaxPngPixels) {
    return PngError("picture too large");
  }
  if (row_bytes != size_t{width} * 4) {
    return PngError("unsupported pixel format");
  }
  RgbaImage out;
  out.width = width;
  out.height = height;
  out.pixels.resize(row_bytes * height);
  std::vector<png_bytep> rows(height);
  for (uint32_t y = 0; y < height; y++) rows[y] = &out.pixels[y * row_bytes];
  if (!ReadRows(png, reader.info(), rows.data())) {
    return PngError(source.message);
  }
  return out;
}

}  // namespace talvoro::ui
