// The progress window: a borderless, fixed-size window showing a picture
// with a progress bar under it, and the message loop that drives it.
//
// Use from the program's entry, all on the thread that started the toolkit
// (WakeMessageLoop excepted):
//
//   auto picture =
//       std::make_shared<const RgbaImage>(*DecodePng(SplashPng()));
//   Result<UI> ui = StartToolkit();
//   Result<ProgressWindow> window = ShowProgressWindow(*ui, picture);
//   RunMessageLoop([&] {
//     window->bar->SetPercent(percent);
//     SetStatusText(*window, line);  // "" while all is well
//     return std::chrono::milliseconds(1000);  // nothing changes before
//   });
//   ...
//   HideWindow(window->window);  // before handing over to another program
//
// A worker thread that changed what the window shows calls
// WakeMessageLoop() so that the next tick comes soon.
#ifndef TALVORO_UI_SRC_PROGRESS_WINDOW_H_
#define TALVORO_UI_SRC_PROGRESS_WINDOW_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
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

// The shortest time between two ticks of the message loop: at most about
// 30 ticks a second.
inline constexpr std::chrono::milliseconds kTickInterval{33};
// Height of the status text's font at 96 dpi, in pixels (9 pt).
inline constexpr int kStatusFontPixels = 12;

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
  // Shows the bar's error state (a failed attempt, during the pause before
  // the next one) or, with false, its normal state.
  void SetError(bool error);

 private:
  PoisonMutex<std::mutex> mutex_;
  uiProgressBar* const bar_;
};

// The shown window. `window` is owned by the toolkit (destroyed by its
// teardown); `bar` shares the window's progress bar; `status` is the line
// of text over the picture (owned by the window, main thread only).
struct ProgressWindow {
  uiWindow* window;
  std::shared_ptr<ProgressBarSlot> bar;
  uiStatusText* status = nullptr;
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
// scene next to them) and an empty bar under it, and a hidden status line
// (SetStatusText).
// Closing the window asks the message loop to end (uiQuit) and leaves the
// window as it is; the closing handler keeps its own copy of `ui`, so the
// toolkit stays up until the process ends.
// The painter keeps its own copy of `picture` for as long as the window
// lives. Returns kNoDisplayOutput (nothing is built) when there is no
// display output, kBadPicture when the pixels do not fill width x height.
Result<ProgressWindow> ShowProgressWindow(
    const UI& ui, std::shared_ptr<const RgbaImage> picture);

// Shows `text` (UTF-8, one short line; a longer one wraps) over the lower
// part of the picture, just above the bar: light on a dark band as wide as
// the window, in a font kStatusFontPixels high at the window's scale.
// Empty text hides the band, and the window is then exactly as without it.
// Main thread only.
void SetStatusText(const ProgressWindow& window, std::string_view text);

// The status text as the toolkit holds it (read back from the label or the
// STATIC control), "" when none is shown.
std::string StatusText(const ProgressWindow& window);

// Runs the toolkit's messages until a quit is seen, waiting (not polling)
// between them. Calls `tick` at once, then again when the wait it returned
// has passed, or soon after WakeMessageLoop(); never sooner than
// kTickInterval after the end of the previous tick. The times come from
// the steady clock. Returns as soon as a message step reports the quit
// (uiQuit, e.g. the window was closed); `tick` is never called after that.
void RunMessageLoop(const std::function<std::chrono::milliseconds()>& tick);

// Makes the running (or the next) RunMessageLoop tick soon, within the
// limit of kTickInterval. Any thread; cheap when called often: the calls
// between two ticks wake the loop once.
void WakeMessageLoop();

// Handles the toolkit's messages for about `duration`, waiting for them
// (no tick): a wait inside a tick that keeps the window alive. Returns
// false as soon as a step reports the quit (the window was closed), true
// otherwise.
bool HandleMessagesFor(std::chrono::milliseconds duration);

// Shows `text` in a modal error message box titled kWindowTitle and returns
// when the user dismissed it: for a refusal before the window exists.
// Starts nothing that must be ended (on GTK it opens the display if the
// toolkit is not running); does nothing where there is no screen.
void ShowErrorMessage(std::string_view text);

// Hides the window (uiControlHide); it stays alive.
void HideWindow(uiWindow* window);

}  // namespace talvoro::ui

#endif  // TALVORO_UI_SRC_PROGRESS_WINDOW_H_
