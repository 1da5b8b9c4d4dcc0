#include "test_files.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

#include "base/file.h"
#ifdef _WIN32
#include <windows.h>

#include "base/win32_text.h"
#endif

namespace talvoro::testing {

namespace fs = std::filesystem;

fs::path FsPath(std::string_view utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Path(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

ScratchDir::ScratchDir(std::string_view name) {
  std::error_code ec;
  const fs::path base = fs::temp_directory_path(ec);
  std::random_device random;
  for (int attempt = 0; !ec && attempt < 100; ++attempt) {
    const fs::path dir = base / FsPath("talvoro-" + std::string(name) + "-" +
                                       std::to_string(random() % 1000000000u));
    if (fs::create_directory(dir, ec)) {
      path_ = Utf8Path(dir);
      return;
    }
  }
  std::fprintf(stderr, "cannot make a scratch folder in %s: %s\n",
               Utf8Path(base).c_str(), ec.message().c_str());
  std::abort();
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::remove_all(FsPath(path_), ec);
}

std::string ScratchDir::File(std::string_view name) const {
  return path_ + kPathSeparator + std::string(name);
}

bool WriteWholeFile(const std::string& path, std::string_view content) {
  std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  return out.good();
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(FsPath(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string MissingFileText() {
#ifdef _WIN32
  return Win32ErrorText(ERROR_FILE_NOT_FOUND);
#else
  return "No such file or directory";
#endif
}

bool UnderWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version");
#else
  return false;
#endif
}

}  // namespace talvoro::testing
