// The toolkit instance: starts the toolkit at most once per process, hands
// out counted handles whose last release tears it down, and keeps the
// registry of top-level windows and area callbacks that the teardown
// destroys.
//
// The toolkit is started, used and torn down on the thread that started
// it. Only UI::alive() may also be asked on other threads: it reads the
// token's cell under the cell's lock.
#ifndef TALVORO_UI_SRC_UI_H_
#define TALVORO_UI_SRC_UI_H_

#include <memory>
#include <shared_mutex>
#include <string_view>

#include "base/error.h"
#include "ui/libui/ui.h"
#include "ui/src/area_bridge.h"
#include "ui/src/poison_mutex.h"

namespace talvoro::ui {

// Error texts of StartToolkit().
inline constexpr std::string_view kAlreadyInitialized =
    "the toolkit is already initialised";
inline constexpr std::string_view kInitFailedPrefix =
    "toolkit initialisation failed: ";

// Fatal texts of the teardown and of a second initialisation.
inline constexpr std::string_view kDoubleInit =
    "Tried to initialize libUI when it was already initialized. Aborting "
    "because this is an unsafe situation.";
inline constexpr std::string_view kUninitWithoutInit =
    "Attempted to uninit libUI in UIToken destructor when libUI was not "
    "initialized!";
inline constexpr std::string_view kRegistryInUse =
    "the top-level registry is already in use";

// The running toolkit. Its destructor is the teardown: it destroys every
// registered window, in creation order, then the area callbacks, calls
// uiUninit() and clears the process-wide initialised flag.
class UIToken {
 public:
  // Whether the toolkit behind this token still runs: written by the
  // teardown, read by UI::alive() on any thread, under the lock.
  struct AliveCell {
    PoisonMutex<std::shared_mutex> mutex;
    bool alive = true;
  };

  explicit UIToken(std::shared_ptr<AliveCell> cell) : cell_(std::move(cell)) {}
  ~UIToken();
  UIToken(const UIToken&) = delete;
  UIToken& operator=(const UIToken&) = delete;

  const std::shared_ptr<AliveCell>& cell() const { return cell_; }

 private:
  std::shared_ptr<AliveCell> cell_;
};

// A counted handle to the running toolkit. Copies share the one token;
// releasing the last copy tears the toolkit down. Anything that needs the
// toolkit to stay up (a window's closing handler, for one) keeps a copy.
class UI {
 public:
  UI(const UI&) = default;
  UI& operator=(const UI&) = default;
  UI(UI&&) = default;
  UI& operator=(UI&&) = default;
  ~UI() = default;

  // Whether the toolkit is still up (false only after the teardown began).
  bool alive() const;
  // How many handles share this toolkit.
  long use_count() const { return token_.use_count(); }

 private:
  friend Result<UI> StartToolkit();
  explicit UI(std::shared_ptr<UIToken> token) : token_(std::move(token)) {}

  std::shared_ptr<UIToken> token_;
};

// Starts the toolkit. Returns the first handle, or an error:
// kAlreadyInitialized (the running toolkit is not touched), or
// kInitFailedPrefix followed by the toolkit's message with ill-formed UTF-8
// replaced by U+FFFD. Both errors have ErrorKind::kStartup.
Result<UI> StartToolkit();

// Whether a toolkit instance is running in this process.
bool ToolkitInitialized();

// Creates a top-level window (uiNewWindow) and registers it so that the
// teardown destroys it. The toolkit owns the window; nothing else may
// destroy it, and so a closing handler given to it must return 0 (a
// non-zero answer makes the toolkit destroy the window, and the teardown
// would then destroy it a second time). Fatal with kUnwrapFailed if `title`
// contains a zero byte.
uiWindow* NewWindow(const UI& ui, std::string_view title, int width, int height,
                    bool has_menubar);

// Creates an area whose events go to `handler`. The handler lives until the
// teardown, after every registered window has been destroyed; the area must
// be put into a registered window.
uiArea* NewArea(const UI& ui, std::unique_ptr<AreaHandler> handler);

}  // namespace talvoro::ui

#endif  // TALVORO_UI_SRC_UI_H_
