// Decoding of PNG pictures, the embedded one and damaged ones.
#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "ui/src/png_image.h"
#include "ui/src/splash.h"

namespace talvoro::ui {
namespace {

// Encodes pixels with libpng's own writer.
std::vector<uint8_t> Encode(uint32_t width, uint32_t height, uint32_t format,
                            const std::vector<uint8_t>& pixels) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = format;
  png_alloc_size_t size = 0;
  EXPECT_TRUE(png_image_write_get_memory_size(image, size, 0, pixels.data(), 0,
                                              nullptr));
  std::vector<uint8_t> out(size);
  EXPECT_TRUE(png_image_write_to_memory(&image, out.data(), &size, 0,
                                        pixels.data(), 0, nullptr));
  out.resize(size);
  return out;
}

// 5x3 RGBA with every alpha level from clear to opaque.
std::vector<uint8_t> SmallRgba() {
  std::vector<uint8_t> pixels;
  for (int i = 0; i < 15; i++) {
    pixels.insert(pixels.end(), {uint8_t(i * 17), uint8_t(255 - i * 13),
                                 uint8_t(i * i), uint8_t(i * 255 / 14)});
  }
  return pixels;
}

TEST(PngImageTest, EmbeddedPictureIs300By169RgbaWithRealAlpha) {
  Result<RgbaImage> image = DecodePng(SplashPng());
  ASSERT_TRUE(image.ok()) << image.error().message;
  EXPECT_EQ(image->width, 300u);
  EXPECT_EQ(image->height, 169u);
  ASSERT_EQ(image->pixels.size(), 300u * 169u * 4u);
  int clear = 0, partial = 0, opaque = 0;
  for (size_t i = 3; i < image->pixels.size(); i += 4) {
    uint8_t a = image->pixels[i];
    (a == 0 ? clear : a == 255 ? opaque : partial)++;
  }
  EXPECT_GT(clear, 0);    // the corners
  EXPECT_GT(partial, 0);  // their smoothed edges
  EXPECT_GT(opaque, 300 * 169 * 9 / 10);
}

TEST(PngImageTest, DecodesToTheEncodedPixels) {
  std::vector<uint8_t> rgba = SmallRgba();
  Result<RgbaImage> image = DecodePng(Encode(5, 3, PNG_FORMAT_RGBA, rgba));
  ASSERT_TRUE(image.ok()) << image.error().message;
  EXPECT_EQ(image->width, 5u);
  EXPECT_EQ(image->height, 3u);
  EXPECT_EQ(image->pixels, rgba);

  // Without an alpha channel every pixel comes out opaque.
  std::vector<uint8_t> rgb = {1, 2, 3, 250, 251, 252};
  image = DecodePng(Encode(2, 1, PNG_FORMAT_RGB, rgb));
  ASSERT_TRUE(image.ok()) << image.error().message;
  EXPECT_EQ(image->pixels,
            (std::vector<uint8_t>{1, 2, 3, 255, 250, 251, 252, 255}));
}

TEST(PngImageTest, EveryTruncationIsAnError) {
  std::vector<uint8_t> png = Encode(5, 3, PNG_FORMAT_RGBA, SmallRgba());
  for (size_t n = 0; n < png.size(); n++) {
    Result<RgbaImage> image =
        DecodePng(std::span<const uint8_t>(png.data(), n));
    ASSERT_FALSE(image.ok()) << "prefix of " << n << " bytes";
    EXPECT_EQ(image.error().kind, ErrorKind::kStartup);
    EXPECT_TRUE(image.error().message.starts_with(kPngErrorPrefix))
        << image.error().message;
    EXPECT_GT(image.error().message.size(), kPngErrorPrefix.size());
  }
  EXPECT_EQ(DecodePng({}).error().message, "invalid PNG picture: no data");
  EXPECT_EQ(DecodePng(std::span<const uint8_t>(png.data(), 4)).error().message,
            "invalid PNG picture: not a PNG file");
  // Cut inside the end chunk, after all the pixels.
  EXPECT_EQ(DecodePng(std::span<const uint8_t>(png.data(), png.size() - 1))
                .error()
                .message,
            "invalid PNG picture: unexpected end of data");
}

TEST(PngImageTest, EveryBitFlipIsAnError) {
  std::vector<uint8_t> png = Encode(5, 3, PNG_FORMAT_RGBA, SmallRgba());
  for (size_t byte = 0; byte < png.size(); byte++) {
    for (int bit = 0; bit < 8; bit++) {
      std::vector<uint8_t> bad = png;
      bad[byte] ^= uint8_t(1 << bit);
      Result<RgbaImage> image = DecodePng(bad);
      ASSERT_FALSE(image.ok()) << "byte " << byte << " bit " << bit;
      EXPECT_TRUE(image.error().message.starts_with(kPngErrorPrefix));
    }
  }
  std::vector<uint8_t> bad = png;
  bad[0] ^= 1;
  EXPECT_EQ(DecodePng(bad).error().message,
            "invalid PNG picture: not a PNG file");
  bad = png;
  bad[png.size() - 1] ^= 1;  // the end chunk's checksum
  EXPECT_EQ(DecodePng(bad).error().message,
            "invalid PNG picture: IEND: CRC error");
}

// Rewrites the IHDR chunk's size (and its checksum) in an encoded PNG.
void SetSize(std::vector<uint8_t>& png, uint32_t width, uint32_t height) {
  auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) png[at + i] = uint8_t(v >> (24 - 8 * i));
  };
  put(16, width);
  put(20, height);
  uint32_t crc = png_uint_32(crc32(0, &png[12], 17));
  put(29, crc);
}

TEST(PngImageTest, HugeDeclaredSizeIsRefusedBeforeAllocating) {
  std::vector<uint8_t> png = Encode(5, 3, PNG_FORMAT_RGBA, SmallRgba());
  SetSize(png, 100'000, 100'000);
  EXPECT_EQ(DecodePng(png).error().message,
            "invalid PNG picture: picture too large");
  // A declared size that does not match the data.
  SetSize(png, 5, 300);
  Result<RgbaImage> image = DecodePng(png);
  ASSERT_FALSE(image.ok());
  EXPECT_TRUE(image.error().message.starts_with(kPngErrorPrefix));
}

}  // namespace
}  // namespace talvoro::ui
