// The taskbar button through a given ITaskbarList3, for tests that record
// the calls (ui/src/taskbar.h has the contract).
#ifndef TALVORO_UI_WIN32_TASKBAR_WIN_H_
#define TALVORO_UI_WIN32_TASKBAR_WIN_H_

#include <shobjidl.h>
#include <windows.h>

#include <memory>

#include "ui/src/taskbar.h"

namespace talvoro::ui {

// Shows the progress of `window` through `list`, of which it takes one
// reference.
std::unique_ptr<Taskbar> TaskbarThrough(ITaskbarList3* list, HWND window);

}  // namespace talvoro::ui

#endif  // TALVORO_UI_WIN32_TASKBAR_WIN_H_
