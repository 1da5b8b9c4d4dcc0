// Where the screen is: the desktop rectangle of the first display output.
// One implementation per platform: ui/gtk/display_gtk.cc (GDK's monitors),
// ui/win32/display_dxgi.cc (DXGI's outputs).
#ifndef TALVORO_UI_SRC_DISPLAY_H_
#define TALVORO_UI_SRC_DISPLAY_H_

#include <cstdint>
#include <optional>

#include "base/error.h"

namespace talvoro::ui {

// A desktop rectangle in screen pixels; right and bottom are exclusive.
// `dpi` is the output's scale as dots per inch (96 is 100 %): what a window
// there must be enlarged by, in the rectangle's pixels. GTK works in
// logical pixels and scales by itself, so there it is always 96.
struct DisplayRect {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
  uint32_t dpi = 96;
};

// Returns the rectangle of the first display output, or nullopt if there is
// none. GTK: monitor 0, else monitor 1 of the toolkit's display connection
// (needs the running toolkit). Windows: output 0 of graphics adapter 0, else
// output 0 of adapter 1, in physical pixels (the program is per-monitor DPI
// aware through its manifest), with the monitor's effective DPI (96 when
// the system cannot say); nullopt also when DXGI cannot start. Errors
// (kFile, Windows only): dxgi.dll or its CreateDXGIFactory1 cannot be had
// from System32 (base/system_library.h).
Result<std::optional<DisplayRect>> FirstDisplayRect();

}  // namespace talvoro::ui

#endif  // TALVORO_UI_SRC_DISPLAY_H_
