#include "ui/src/toolkit_string.h"

#include "base/utf8.h"

namespace talvoro::ui {

Result<std::string> ToToolkitString(std::string_view text) {
  size_t zero = text.find('\0');
  if (zero != std::string_view::npos) {
    return StartupError("string contains a zero byte at position " +
                        std::to_string(zero));
  }
  return std::string(text);
}

std::string FromToolkitString(const char* text) { return ToValidUtf8(text); }

}  // namespace talvoro::ui
