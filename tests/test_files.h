// Scratch folders and whole-file helpers for the tests, on POSIX and
// Windows. Paths are UTF-8, as everywhere in the program; the helpers reach
// the files through std::filesystem and its streams, not through the
// program's own file operations (base/file.h), so that tests of those can
// check their results independently.
#ifndef TALVORO_TESTS_TEST_FILES_H_
#define TALVORO_TESTS_TEST_FILES_H_

#include <filesystem>
#include <string>
#include <string_view>

namespace talvoro::testing {

// `utf8` as a std::filesystem path (UTF-16 on Windows), and back.
std::filesystem::path FsPath(std::string_view utf8);
std::string Utf8Path(const std::filesystem::path& path);

// A fresh, empty folder in the system's temporary folder, whose name holds
// `name`; removed with everything in it when the object is destroyed.
// Aborts the test process if it cannot be made.
class ScratchDir {
 public:
  explicit ScratchDir(std::string_view name);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // The folder, without a trailing separator.
  const std::string& path() const { return path_; }
  // The folder joined with `name` by the platform's separator.
  std::string File(std::string_view name) const;

 private:
  std::string path_;
};

// Writes `content` as the whole file at `path`; false on failure.
bool WriteWholeFile(const std::string& path, std::string_view content);
// The whole file at `path`; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

// The system's text for a missing file: what the file operations and the
// process start report for one.
std::string MissingFileText();

// Whether this Windows program runs under Wine (false on POSIX).
bool UnderWine();

}  // namespace talvoro::testing

#endif  // TALVORO_TESTS_TEST_FILES_H_
