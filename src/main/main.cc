// Shows the progress window with the picture and an empty bar until the
// window is closed.
#include <memory>
#include <string>

#include "ui/src/controls/window.h"
#include "ui/src/ffi_tools.h"
#include "ui/src/png_image.h"
#include "ui/src/splash.h"
#include "ui/src/ui.h"

namespace {

template <typename T>
T Unwrap(talvoro::Result<T> result) {
  if (!result.ok()) {
    talvoro::ui::Fatal(std::string(talvoro::ui::kUnwrapFailed) + ": " +
                       result.error().message);
  }
  return std::move(result).value();
}

}  // namespace

int main() {
  namespace ui = talvoro::ui;
  auto picture = std::make_shared<const ui::RgbaImage>(
      Unwrap(ui::DecodePng(ui::SplashPng())));
  ui::UI toolkit = Unwrap(ui::StartToolkit());
  ui::ProgressWindow window = Unwrap(ui::ShowProgressWindow(toolkit, picture));
  ui::RunMessageLoop([] {});
  return 0;
}
