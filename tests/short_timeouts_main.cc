// The program with connection and idle time-outs of 2 s instead of 30 and
// 60 s, for the fault tests that stall a connection and would otherwise
// wait that long for each attempt.
#include <chrono>

#include "download/connection.h"
#include "main/app.h"

int main() {
  talvoro::RunBootstrap(
      TALVORO_DOWNLOAD_URL,
      {.connection = {.connect_timeout = std::chrono::seconds(2),
                      .idle_timeout = std::chrono::seconds(2)}});
}
