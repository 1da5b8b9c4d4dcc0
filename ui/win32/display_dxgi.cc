// The display outputs as DXGI reports them: output 0 of the first graphics
// adapter that has one (adapter 0, else adapter 1). dxgi is loaded from
// System32, never imported (base/system_library.h).
#include <windows.h>
// IDXGIOutput1 (DXGI 1.2) comes with dxgi1_2.h, which includes dxgi.h.
#include <dxgi1_2.h>

#include <memory>

#include "base/system_library.h"
#include "ui/src/display.h"

namespace talvoro::ui {
namespace {

struct ComRelease {
  void operator()(IUnknown* object) const { object->Release(); }
};
// Holds one reference to a COM object and releases it at scope end.
template <typename T>
using ComRef = std::unique_ptr<T, ComRelease>;

// The effective DPI of `monitor` (shcore's GetDpiForMonitor, loaded from
// System32), or 96 when it cannot be had.
uint32_t DpiOf(HMONITOR monitor) {
  using GetDpi = HRESULT WINAPI(HMONITOR, int, UINT*, UINT*);
  static const Result<GetDpi*> get_dpi =
      SystemFunctionOf<GetDpi>(L"shcore.dll", "GetDpiForMonitor");
  UINT x = 0, y = 0;
  constexpr int kEffectiveDpi = 0;  // MDT_EFFECTIVE_DPI
  if (monitor == nullptr || !get_dpi.ok() ||
      FAILED((*get_dpi.value())(monitor, kEffectiveDpi, &x, &y)) || x == 0) {
    return 96;
  }
  return x;
}

// The desktop rectangle of output 0 of adapter `index`, or nullopt when the
// adapter or its output does not exist or the output is older than DXGI 1.2
// (no IDXGIOutput1).
std::optional<DisplayRect> FirstOutputOf(IDXGIFactory1* factory, UINT index) {
  IDXGIAdapter1* raw_adapter = nullptr;
  if (FAILED(factory->EnumAdapters1(index, &raw_adapter))) return std::nullopt;
  ComRef<IDXGIAdapter1> adapter(raw_adapter);
  IDXGIOutput* raw_output = nullptr;
  if (FAILED(adapter->EnumOutputs(0, &raw_output))) return std::nullopt;
  ComRef<IDXGIOutput> output(raw_output);
  DXGI_OUTPUT_DESC desc;
  if (FAILED(output->GetDesc(&desc))) return std::nullopt;
  IDXGIOutput1* raw_output1 = nullptr;
  if (FAILED(output->QueryInterface(__uuidof(IDXGIOutput1),
                                    reinterpret_cast<void**>(&raw_output1)))) {
    return std::nullopt;
  }
  ComRef<IDXGIOutput1> output1(raw_output1);
  const RECT& r = desc.DesktopCoordinates;
  return DisplayRect{r.left, r.top, r.right, r.bottom, DpiOf(desc.Monitor)};
}

}  // namespace

Result<std::optional<DisplayRect>> FirstDisplayRect() {
  auto create_factory = SystemFunctionOf<decltype(CreateDXGIFactory1)>(
      L"dxgi.dll", "CreateDXGIFactory1");
  if (!create_factory.ok()) return std::move(create_factory).error();
  IDXGIFactory1* raw_factory = nullptr;
  // Fails without a display (DXGI_ERROR_UNSUPPORTED under Wine without X).
  if (FAILED((*create_factory)(__uuidof(IDXGIFactory1),
                               reinterpret_cast<void**>(&raw_factory)))) {
    return std::optional<DisplayRect>();
  }
  ComRef<IDXGIFactory1> factory(raw_factory);
  for (UINT adapter : {0u, 1u}) {
    if (std::optional<DisplayRect> rect = FirstOutputOf(factory.get(), adapter))
      return rect;
  }
  return std::optional<DisplayRect>();
}

}  // namespace talvoro::ui
