// The display outputs as GDK reports its monitors.
#include <gtk/gtk.h>

#include "ui/src/display.h"

namespace talvoro::ui {

Result<std::optional<DisplayRect>> FirstDisplayRect() {
  GdkDisplay* display = gdk_display_get_default();
  if (display == nullptr) return std::optional<DisplayRect>();
  for (int index : {0, 1}) {
    GdkMonitor* monitor = gdk_display_get_monitor(display, index);
    if (monitor == nullptr) continue;
    GdkRectangle r;
    gdk_monitor_get_geometry(monitor, &r);
    return std::optional<DisplayRect>(
        DisplayRect{r.x, r.y, r.x + r.width, r.y + r.height});
  }
  return std::optional<DisplayRect>();
}

}  // namespace talvoro::ui
