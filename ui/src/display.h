// Where the screen is: the desktop rectangle of the first display output.
// One implementation per platform (display_gtk.cc here).
#ifndef TALVORO_UI_SRC_DISPLAY_H_
#define TALVORO_UI_SRC_DISPLAY_H_

#include <cstdint>
#include <optional>

namespace talvoro::ui {

// A desktop rectangle in screen pixels; right and bottom are exclusive.
struct DisplayRect {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
};

// Returns the rectangle of output 0, else of output 1, or nullopt if
// neither exists. Needs the running toolkit (it asks the toolkit's display
// connection).
std::optional<DisplayRect> FirstDisplayRect();

}  // namespace talvoro::ui

#endif  // TALVORO_UI_SRC_DISPLAY_H_
