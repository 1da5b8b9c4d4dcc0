// The program with the log's details written to standard error, each as a
// line "detail: <text>", for the fault tests that check what only the log
// records (the length of a retry pause).
#include <string>
#include <string_view>

#include "base/report.h"
#include "main/app.h"

namespace {

class DetailsOnStderr : public talvoro::Reporter {
 public:
  void Line(talvoro::Stream stream, std::string_view line) override {
    talvoro::ConsoleReporter().Line(stream, line);
  }
  void Detail(std::string_view text) override {
    talvoro::ConsoleReporter().Line(talvoro::Stream::kErr,
                                    "detail: " + std::string(text) + "\n");
  }
};

}  // namespace

int main() {
  static DetailsOnStderr reporter;
  talvoro::RunBootstrap(TALVORO_DOWNLOAD_URL,
                        {.connection = {.reporter = &reporter}});
}
