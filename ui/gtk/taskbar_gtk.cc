#include "ui/src/taskbar.h"

namespace talvoro::ui {
namespace {

// No taskbar button with a progress on the desktops GTK runs on.
class NoTaskbar : public Taskbar {
 public:
  void Show(TaskbarState, int) override {}
};

}  // namespace

std::unique_ptr<Taskbar> TaskbarOf(uiWindow*) {
  return std::make_unique<NoTaskbar>();
}

}  // namespace talvoro::ui
