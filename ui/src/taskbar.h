// The download's progress on the window's button in the taskbar.
//
// Windows only (ui/win32/taskbar_win.cc, through the shell's
// ITaskbarList3): GTK has no such button (ui/gtk/taskbar_gtk.cc shows
// nothing). Used on the toolkit's thread only.
#ifndef TALVORO_UI_SRC_TASKBAR_H_
#define TALVORO_UI_SRC_TASKBAR_H_

#include <memory>

#include "ui/libui/ui.h"

namespace talvoro::ui {

enum class TaskbarState {
  kNormal,         // the percentage
  kIndeterminate,  // moving, no percentage (the length is not known)
  kError,          // the percentage, marked as failed (a retry pause)
};

class Taskbar {
 public:
  virtual ~Taskbar() = default;
  // Shows `state` with `percent` (0 to 100; not used for kIndeterminate).
  // What is already shown is not sent again; a call the system refused
  // (the button may not exist yet) is made again by the next Show.
  virtual void Show(TaskbarState state, int percent) = 0;
};

// The taskbar button of `window`, or a Taskbar that shows nothing where the
// system has no taskbar.
std::unique_ptr<Taskbar> TaskbarOf(uiWindow* window);

}  // namespace talvoro::ui

#endif  // TALVORO_UI_SRC_TASKBAR_H_
