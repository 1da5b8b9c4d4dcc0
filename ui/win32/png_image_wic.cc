// PNG decoding through the Windows Imaging Component, which every Windows
// has: the program carries no PNG or inflate code of its own (about 60 KiB).
// WIC is created through COM, which loads it by its registered full path in
// System32.
#include <wincodec.h>
#include <windows.h>

#include <cstring>
#include <memory>

#include "ui/src/png_image.h"

namespace talvoro::ui {
namespace {

struct ComRelease {
  void operator()(IUnknown* object) const { object->Release(); }
};
template <typename T>
using ComRef = std::unique_ptr<T, ComRelease>;

Error PngError(std::string_view detail) {
  return StartupError(std::string(kPngErrorPrefix) + std::string(detail));
}

// COM for the calling thread, for as long as this lives.
class ComScope {
 public:
  ComScope() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  HRESULT result_;
};

}  // namespace

Result<RgbaImage> DecodePng(std::span<const uint8_t> data) {
  if (data.empty()) return PngError("no data");
  constexpr uint8_t kSignature[8] = {0x89, 'P',  'N',  'G',
                                     '\r', '\n', 0x1a, '\n'};
  if (data.size() < sizeof kSignature ||
      std::memcmp(data.data(), kSignature, sizeof kSignature) != 0) {
    return PngError("not a PNG file");
  }
  if (data.size() > MAXDWORD) return PngError("picture too large");
  ComScope com;
  IWICImagingFactory* raw_factory = nullptr;
  if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr,
                              CLSCTX_INPROC_SERVER,
                              __uuidof(IWICImagingFactory),
                              reinterpret_cast<void**>(&raw_factory)))) {
    return PngError("no image decoder in the system");
  }
  ComRef<IWICImagingFactory> factory(raw_factory);
  IWICStream* raw_stream = nullptr;
  if (FAILED(factory->CreateStream(&raw_stream))) {
    return PngError("out of memory");
  }
  ComRef<IWICStream> stream(raw_stream);
  IWICBitmapDecoder* raw_decoder = nullptr;
  IWICBitmapFrameDecode* raw_frame = nullptr;
  if (FAILED(stream->InitializeFromMemory(const_cast<BYTE*>(data.data()),
                                          static_cast<DWORD>(data.size()))) ||
      FAILED(factory->CreateDecoder(GUID_ContainerFormatPng, nullptr,
                                    &raw_decoder))) {
    return PngError("out of memory");
  }
  ComRef<IWICBitmapDecoder> decoder(raw_decoder);
  if (FAILED(decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnLoad)) ||
      FAILED(decoder->GetFrame(0, &raw_frame))) {
    return PngError("damaged or incomplete data");
  }
  ComRef<IWICBitmapFrameDecode> frame(raw_frame);
  UINT width = 0, height = 0;
  if (FAILED(frame->GetSize(&width, &height)) || width == 0 || height == 0) {
    return PngError("damaged or incomplete data");
  }
  if (uint64_t{width} * height > kMaxPngPixels) {
    return PngError("picture too large");
  }
  // Straight (not premultiplied) 8-bit RGBA; no colour management is
  // applied, as with the other platforms' decoder.
  IWICFormatConverter* raw_converter = nullptr;
  if (FAILED(factory->CreateFormatConverter(&raw_converter))) {
    return PngError("out of memory");
  }
  ComRef<IWICFormatConverter> converter(raw_converter);
  RgbaImage out;
  out.width = width;
  out.height = height;
  out.pixels.resize(size_t{width} * height * 4);
  if (FAILED(converter->Initialize(frame.get(), GUID_WICPixelFormat32bppRGBA,
                                   WICBitmapDitherTypeNone, nullptr, 0.0,
                                   WICBitmapPaletteTypeCustom)) ||
      FAILED(converter->CopyPixels(nullptr, width * 4,
                                   static_cast<UINT>(out.pixels.size()),
                                   out.pixels.data()))) {
    return PngError("damaged or incomplete data");
  }
  return out;
}

}  // namespace talvoro::ui
