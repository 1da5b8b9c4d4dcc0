#include "ui/src/progress_window.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "ui/src/area_bridge.h"

namespace talvoro::ui {
namespace {

// The DPI of a display at 100 %.
constexpr uint32_t kBaseDpi = 96;

// Draws the picture at the area's top-left corner as wide as the area,
// which is the window's width: unscaled where the window has the picture's
// size, smoothly enlarged on a scaled display.
class PicturePainter : public AreaHandler {
 public:
  explicit PicturePainter(std::shared_ptr<const RgbaImage> picture)
      : picture_(std::move(picture)) {}

  void Draw(uiArea*, const AreaDrawParams& params) override {
    int width = static_cast<int>(picture_->width);
    int height = static_cast<int>(picture_->height);
    uiImageBuffer* buffer =
        uiNewImageBuffer(params.context, width, height, /*alpha=*/1);
    if (buffer == nullptr) return;
    uiImageBufferUpdate(buffer, picture_->pixels.data());
    uiRect source{0, 0, width, height};
    uiRect shown = source;
    const int area_width = static_cast<int>(params.area_width);
    if (area_width > 0 && area_width != width) {
      shown.Width = area_width;
      shown.Height =
          static_cast<int>((int64_t{height} * area_width + width / 2) / width);
    }
    const bool scaled = shown.Width != width;
    uiImageBufferDraw(params.context, buffer, &source, &shown,
                      /*filter=*/scaled ? 1 : 0);
    uiFreeImageBuffer(buffer);
  }

 private:
  std::shared_ptr<const RgbaImage> picture_;
};

// `picture` with its see-through edges laid over the picture itself: each
// pixel left of a row's first opaque pixel (right of its last) is blended
// over that pixel's colour, so rounded, transparent corners come out as the
// scene's own colour instead of the window's background. Rows without an
// opaque pixel stay as they are.
RgbaImage OverItsOwnEdges(const RgbaImage& picture) {
  RgbaImage out = picture;
  const size_t width = picture.width;
  for (size_t y = 0; y < picture.height; ++y) {
    uint8_t* row = out.pixels.data() + y * width * 4;
    size_t first = 0;
    while (first < width && row[first * 4 + 3] != 255) ++first;
    if (first == width) continue;
    size_t last = width - 1;
    while (row[last * 4 + 3] != 255) --last;
    auto blend = [&](size_t x, const uint8_t* under) {
      uint8_t* p = row + x * 4;
      const unsigned a = p[3];
      for (int k = 0; k < 3; ++k) {
        p[k] =
            static_cast<uint8_t>((p[k] * a + under[k] * (255 - a) + 127) / 255);
      }
      p[3] = 255;
    };
    const uint8_t left[3] = {row[first * 4], row[first * 4 + 1],
                             row[first * 4 + 2]};
    const uint8_t right[3] = {row[last * 4], row[last * 4 + 1],
                              row[last * 4 + 2]};
    for (size_t x = 0; x < first; ++x) blend(x, left);
    for (size_t x = last + 1; x < width; ++x) blend(x, right);
  }
  return out;
}

// Set by WakeMessageLoop until the loop takes it: the calls in between
// wake the toolkit once.
std::atomic<bool> wake_requested{false};

// The whole milliseconds from now until `when`, rounded up (0 when past):
// a wait never ends just before its time and spins.
int MillisecondsUntil(std::chrono::steady_clock::time_point when) {
  using namespace std::chrono;
  const auto left = when - steady_clock::now();
  if (left <= steady_clock::duration::zero()) return 0;
  const auto ms = ceil<milliseconds>(left).count();
  return static_cast<int>(std::min<decltype(ms)>(ms, INT32_MAX));
}

int OnClosing(uiWindow*, void*) {
  uiQuit();
  return 0;
}

}  // namespace

void ProgressBarSlot::SetPercent(unsigned percent) {
  With([percent](uiProgressBar* bar) {
    uiProgressBarSetValue(bar, static_cast<int>(std::min(percent, kFull)));
  });
}

void ProgressBarSlot::SetError(bool error) {
  With([error](uiProgressBar* bar) { uiProgressBarSetError(bar, error); });
}

WindowPosition PlaceWindow(const DisplayRect& d, int32_t width,
                           int32_t height) {
  // Centred within the output, whose origin need not be (0, 0).
  int64_t x = int64_t{d.left} + (int64_t{d.right} - d.left - width) / 2;
  int64_t y = int64_t{d.top} + (int64_t{d.bottom} - d.top - height) / 2;
  return {static_cast<int32_t>(x), static_cast<int32_t>(y)};
}

Result<ProgressWindow> ShowProgressWindow(
    const UI& ui, std::shared_ptr<const RgbaImage> picture) {
  uint64_t width = picture->width;
  uint64_t height = picture->height;
  if (width == 0 || height == 0 || width > kMaxPngPixels ||
      height > kMaxPngPixels || picture->pixels.size() != width * height * 4) {
    return StartupError(std::string(kBadPicture));
  }
  Result<std::optional<DisplayRect>> display = FirstDisplayRect();
  if (!display.ok()) return std::move(display).error();
  if (!*display) return StartupError(std::string(kNoDisplayOutput));

  // The picture's size on the output's scale, rounded.
  const uint32_t dpi = (*display)->dpi;
  int w = static_cast<int>((width * dpi + kBaseDpi / 2) / kBaseDpi);
  int h = static_cast<int>((height * dpi + kBaseDpi / 2) / kBaseDpi);
  uiWindow* window = NewWindow(ui, kWindowTitle, w, h, /*has_menubar=*/false);
  // The handler's handle stays with the window for the rest of the process.
  uiWindowOnClosing(window, &OnClosing, new UI(ui));
  uiWindowSetMargined(window, 1);
  uiWindowSetBorderless(window, 1);
  uiWindowSetResizeable(window, 0);
  uiWindowSetMargined(window, 0);
  WindowPosition at = PlaceWindow(**display, w, h);
  uiWindowSetPosition(window, at.x, at.y);

  uiBox* box = uiNewVerticalBox();
  uiBoxSetPadded(box, 0);
  uiArea* area = NewArea(
      ui, std::make_unique<PicturePainter>(
              std::make_shared<const RgbaImage>(OverItsOwnEdges(*picture))));
  uiBoxAppend(box, uiControl(area), /*stretchy=*/1);
  const int font = static_cast<int>(
      (int64_t{kStatusFontPixels} * dpi + kBaseDpi / 2) / kBaseDpi);
  uiStatusText* status = uiNewStatusText(area, font);
  auto slot = std::make_shared<ProgressBarSlot>(uiNewProgressBar());
  slot->With([box](uiProgressBar* bar) {
    uiBoxAppend(box, uiControl(bar), /*stretchy=*/0);
  });
  uiWindowSetChild(window, uiControl(box));
  uiControlShow(uiControl(window));
  return ProgressWindow{window, std::move(slot), status};
}

void SetStatusText(const ProgressWindow& window, std::string_view text) {
  // The toolkit takes NUL-terminated text: a zero byte ends it.
  const std::string line(text.substr(0, text.find('\0')));
  uiStatusTextSetText(window.status, line.c_str());
}

std::string StatusText(const ProgressWindow& window) {
  char* text = uiStatusTextText(window.status);
  std::string out = text != nullptr ? text : "";
  uiFreeText(text);
  return out;
}

void RunMessageLoop(const std::function<std::chrono::milliseconds()>& tick) {
  using Clock = std::chrono::steady_clock;
  uiMainSteps();
  // The first tick comes at once.
  Clock::time_point last_end = Clock::now() - kTickInterval;
  Clock::time_point next = Clock::now();
  for (;;) {
    if (wake_requested.exchange(false)) {
      next = std::min(next, last_end + kTickInterval);
    }
    if (Clock::now() >= next) {
      const std::chrono::milliseconds wait = tick();
      last_end = Clock::now();
      next = last_end + std::max(wait, kTickInterval);
    }
    if (uiMainStepTimeout(MillisecondsUntil(next)) == 0) return;
  }
}

void WakeMessageLoop() {
  if (!wake_requested.exchange(true)) uiWakeMain();
}

bool HandleMessagesFor(std::chrono::milliseconds duration) {
  const auto end = std::chrono::steady_clock::now() + duration;
  do {
    if (uiMainStepTimeout(MillisecondsUntil(end)) == 0) return false;
  } while (std::chrono::steady_clock::now() < end);
  return true;
}

void ShowErrorMessage(std::string_view text) {
  const std::string title(kWindowTitle);
  const std::string line(text.substr(0, text.find('\0')));
  uiMsgBoxError(nullptr, title.c_str(), line.c_str());
}

void HideWindow(uiWindow* window) { uiControlHide(uiControl(window)); }

}  // namespace talvoro::ui
