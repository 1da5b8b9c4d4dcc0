#include "test_pki.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace talvoro::testing {

std::string MakeTempDir() {
  std::string pattern = "/tmp/talvoro-engine-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  return pattern;
}

const std::string& TestPkiDir() {
  static const std::string dir = [] {
    std::string out = MakeTempDir();
    const std::string command =
        std::string(TALVORO_SOURCE_DIR) + "/scripts/make-pki.sh " + out;
    if (std::system(command.c_str()) != 0) {
      std::fprintf(stderr, "%s failed\n", command.c_str());
      std::abort();
    }
    static std::string to_remove = out;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(to_remove, ignored);
    });
    setenv("SSL_CERT_FILE", (out + "/ca.pem").c_str(), 1);
    // A folder without hashed certificates: only ca.pem is trusted.
    setenv("SSL_CERT_DIR", out.c_str(), 1);
    return out;
  }();
  return dir;
}

std::string PkiFile(const std::string& name) {
  return TestPkiDir() + "/" + name;
}

}  // namespace talvoro::testing
