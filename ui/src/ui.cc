#include "ui/src/ui.h"

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "ui/src/fatal.h"
#include "ui/src/toolkit_string.h"

namespace talvoro::ui {
namespace {

// Set by a successful start, cleared by the teardown.
std::atomic<bool> toolkit_initialized{false};

// The controls the teardown destroys. Taken exclusively by whoever changes
// it; a second taker means re-entry from a toolkit callback, which the
// teardown cannot survive.
struct Registry {
  std::vector<uiControl*> windows;
  std::vector<std::unique_ptr<AreaBridge>> areas;
  bool borrowed = false;
};

thread_local Registry registry;

class RegistryBorrow {
 public:
  RegistryBorrow() {
    if (registry.borrowed) Fatal(kRegistryInUse);
    registry.borrowed = true;
  }
  ~RegistryBorrow() { registry.borrowed = false; }
  Registry* operator->() { return &registry; }
};

// Size of uiInitOptions as the toolkit expects it.
constexpr size_t kInitOptionsSize = 8;

}  // namespace

UIToken::~UIToken() {
  if (!toolkit_initialized.load()) Fatal(kUninitWithoutInit);
  {
    decltype(cell_->mutex)::Guard lock(cell_->mutex);
    cell_->alive = false;
  }
  std::vector<uiControl*> windows;
  std::vector<std::unique_ptr<AreaBridge>> areas;
  {
    RegistryBorrow borrow;
    windows = std::exchange(borrow->windows, {});
    areas = std::exchange(borrow->areas, {});
    for (uiControl* window : windows) uiControlDestroy(window);
  }
  areas.clear();
  uiUninit();
  toolkit_initialized.store(false);
}

bool UI::alive() const {
  UIToken::AliveCell& cell = *token_->cell();
  decltype(cell.mutex)::Guard lock(cell.mutex);
  return cell.alive;
}

Result<UI> StartToolkit() {
  if (toolkit_initialized.load()) {
    return StartupError(std::string(kAlreadyInitialized));
  }
  static_assert(sizeof(uiInitOptions) == kInitOptionsSize);
  uiInitOptions options{kInitOptionsSize};
  if (const char* message = uiInit(&options)) {
    std::string text = FromToolkitString(message);
    uiFreeInitError(message);
    return StartupError(std::string(kInitFailedPrefix) + text);
  }
  if (toolkit_initialized.exchange(true)) Fatal(kDoubleInit);
  auto cell = std::make_shared<UIToken::AliveCell>();
  return UI(std::make_shared<UIToken>(std::move(cell)));
}

bool ToolkitInitialized() { return toolkit_initialized.load(); }

uiWindow* NewWindow(const UI& ui, std::string_view title, int width, int height,
                    bool has_menubar) {
  (void)ui;
  Result<std::string> c_title = ToToolkitString(title);
  if (!c_title.ok()) {
    Fatal(std::string(kUnwrapFailed) + ": " + c_title.error().message);
  }
  uiWindow* window =
      uiNewWindow(c_title->c_str(), width, height, has_menubar ? 1 : 0);
  RegistryBorrow borrow;
  borrow->windows.push_back(uiControl(window));
  return window;
}

uiArea* NewArea(const UI& ui, std::unique_ptr<AreaHandler> handler) {
  (void)ui;
  auto bridge = std::make_unique<AreaBridge>(std::move(handler));
  uiArea* area = uiNewArea(bridge->toolkit_handler());
  RegistryBorrow borrow;
  borrow->areas.push_back(std::move(bridge));
  return area;
}

}  // namespace talvoro::ui
