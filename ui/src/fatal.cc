#include "ui/src/fatal.h"

#include <cstdio>
#include <cstdlib>

namespace talvoro::ui {

void Fatal(std::string_view message) {
  std::fwrite(message.data(), 1, message.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace talvoro::ui
