#include "base/console.h"

#include <cstdio>

#include "base/report.h"

namespace talvoro {

namespace {

void Write(std::FILE* stream, std::string_view text) {
  static const bool binary = (UseBinaryStandardStreams(), true);
  (void)binary;
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

void PrintOut(std::string_view text) { Write(stdout, text); }
void PrintErr(std::string_view text) { Write(stderr, text); }

}  // namespace talvoro

namespace talvoro {
namespace {

class StandardStreams : public Reporter {
 public:
  void Line(Stream stream, std::string_view line) override {
    if (stream == Stream::kOut) {
      PrintOut(line);
    } else {
      PrintErr(line);
    }
  }
  void Detail(std::string_view) override {}
};

}  // namespace

Reporter& ConsoleReporter() {
  static StandardStreams* streams = new StandardStreams;
  return *streams;
}

}  // namespace talvoro
