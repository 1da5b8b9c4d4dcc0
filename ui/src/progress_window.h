// The progress window: a borderless, fixed-size window showing a picture
// with a progress bar under it, and the message loop that drives it.
//
// Use from the program's entry, all on the thread that started the toolkit:
//
//   Result<RgbaImage> picture = DecodePng(SplashPng());
//   Result<UI> ui = StartToolkit();
//   Result<ProgressWindow> window = ShowProgressWindow(*ui, picture);
//   RunMessageLoop([&] { window->bar->SetPercent(status.percent); });
//   ...
//   HideWindow(window->window);  // before handing over to another program
#ifndef TALVORO_UI_SRC_PROGRESS_WINDOW_H_
#define TALVORO_UI_SRC_PROGRESS_WINDOW_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "base/error.h"
#include "ui/libui/ui.h"
#include "ui/src/display.h"
#include "ui/src/png_image.h"
#include "ui/src/poison_mutex.h"
#include "ui/src/ui.h"

namespace talvoro::ui {

inline constexpr std::string_view kWindowTitle = "Corvadelin";
// Error text of ShowProgressWindow() when there is no screen to place on.
inline constexpr std::string_view kNoDisplayOutput = "no display output found";
inline constexpr std::string_view kBadPicture =
    "picture pixels do not match its size";

// Message loop timing.
inline constexpr int kStepsPerPass = 5;
inline constexpr std::chrono::milliseconds kLoopPause{5};
inline constexpr std::chrono::milliseconds kTickInterval{16};

// The window's progress bar, shared between whoever updates it. Every
// toolkit call on the bar is made while holding the slot's mutex. The bar
// belongs to the window: use the slot only while the window exists.
class ProgressBarSlot {
 public:
  static constexpr unsigned kFull = 100;

  explicit ProgressBarSlot(uiProgressBar* bar) : bar_(bar) {}
  ProgressBarSlot(const ProgressBarSlot&) = delete;
  ProgressBarSlot& operator=(const ProgressBarSlot&) = delete;

  // Runs f(bar) under the mutex and returns its result. Fatal with
  // kUnwrapFailed if an earlier holder left by an exception.
  template <typename F>
  decltype(auto) With(F&& f) {
    PoisonMutex<std::mutex>::Guard guard(mutex_);
    return std::forward<F>(f)(bar_);
  }

  // Shows min(percent, 100) percent.
  void SetPercent(unsigned percent);

 private:
  PoisonMutex<std::mutex> mutex_;
  uiProgressBar* const bar_;
};

// The shown window. `window` is owned by the toolkit (destroyed by its
// teardown); `bar` shares the window's progress bar.
struct ProgressWindow {
  uiWindow* window;
  std::shared_ptr<ProgressBarSlot> bar;
};

// Top-left corner of a width x height window on `display`:
// x = left + (right - left - width) / 2, y = top + (bottom - top - height) / 2,
// halved toward zero: centred on the output wherever it lies on the desktop.
struct WindowPosition {
  int32_t x;
  int32_t y;
};
WindowPosition PlaceWindow(const DisplayRect& display, int32_t width,
                           int32_t height);

// Builds and shows the progress window: titled kWindowTitle, exactly the
// picture's size on the output's scale (times dpi / 96, rounded; the
// picture then smoothly enlarged), borderless, not resizable, placed by
// PlaceWindow() on the first display output, the picture on top (its
// see-through edges, such as rounded corners, filled with the colour of the
// scene next to them) and an empty bar under it.
// Closing the window asks the message loop to end (uiQuit) and leaves the
// window as it is; the closing handler keeps its own copy of `ui`, so the
// toolkit stays up until the process ends.
// The painter keeps its own copy of `picture` for as long as the window
// lives. Returns kNoDisplayOutput (nothing is built) when there is no
// display output, kBadPicture when the pixels do not fill width x height.
Result<ProgressWindow> ShowProgressWindow(
    const UI& ui, std::shared_ptr<const RgbaImage> picture);

// The clock the loop reads; a seam for tests.
using LoopClock = std::function<std::chrono::system_clock::time_point()>;

// Runs the toolkit's messages until a quit is seen: each pass handles up to
// kStepsPerPass pending messages without blocking, then calls `tick` if at
// least kTickInterval (in whole milliseconds) has passed since the last
// tick (or the start), then pauses kLoopPause. A clock that went back
// restarts the interval from the new time. Returns as soon as a step
// reports the quit; `tick` is never called after that.
void RunMessageLoop(
    const std::function<void()>& tick,
    const LoopClock& now = [] { return std::chrono::system_clock::now(); });

// Handles the toolkit's messages for about `duration`, in passes as
// RunMessageLoop makes them but without a tick: a wait inside a tick that
// keeps the window alive. Returns false as soon as a step reports the quit
// (the window was closed), true otherwise.
bool HandleMessagesFor(std::chrono::milliseconds duration);

// Hides the window (uiControlHide); it stays alive.
void HideWindow(uiWindow* window);

}  // namespace talvoro::ui

#endif  // TALVORO_UI_SRC_PROGRESS_WINDOW_H_
