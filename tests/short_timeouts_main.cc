// The program with connection and idle time-outs of 2 s instead of 30 and
// 60 s, for the fault tests that stall a connection and would otherwise
// wait that long for each attempt.
#include <chrono>

#include "download/connection.h"
#include "main/app.h"

int main() {
  talvoro::SetTimeouts(
      {.connect = std::chrono::seconds(2), .idle = std::chrono::seconds(2)});
  talvoro::RunBootstrap(TALVORO_DOWNLOAD_URL);
}
