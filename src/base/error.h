// Error values shared by the download engine, the application and the window.
//
// Every fallible operation of the engine returns either a value or an
// `Error`. An error carries the printable text that the download task shows
// after "下载失败: ", and the kind of failure, which decides whether the
// partial download is worth keeping for the next attempt.
#ifndef TALVORO_BASE_ERROR_H_
#define TALVORO_BASE_ERROR_H_

#include <cassert>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace talvoro {

enum class ErrorKind {
  // Name resolution, connection, TLS, a read or a write on the connection,
  // a time-out, or a body that ended before the announced length. The bytes
  // on disk are still a valid prefix of the remote file.
  kNetwork,
  // The server answered something unusable: a failed status, a malformed
  // header, a response over the size caps, invalid UTF-8.
  kProtocol,
  // A local file could not be opened, read or written.
  kFile,
  // The disk has no room for what is still to come (a write that failed
  // for lack of space, or a check before the download). The bytes on disk
  // are good and stay.
  kNoSpace,
  // Bad input from the program itself (an unusable URL).
  kInput,
  // The program cannot start its work: its window (the toolkit, the
  // display, the picture) or its own settings (the signer list).
  kStartup,
  // The server still announces a file that this process has already
  // refused (download/publication_memory.h): nothing was requested or
  // written.
  kRejected,
};

// What the user is told a failure was, where the kind alone does not say:
// set by the code that finds the failure. kUnspecified lets the reader
// derive it from the kind (kNetwork: the server cannot be reached; kNoSpace:
// the disk; kFile: the folder; kRejected: a refused publication).
enum class Cause : uint8_t {
  kUnspecified,
  // The server answered 500, 502, 503, 504 or 429: it is busy or failing.
  // The partial download stays.
  kServerBusy,
  // The proxy refused the tunnel.
  kProxyRefused,
  // The proxy asks for a sign-in (407) that the program could not give or
  // that it refused.
  kProxySignIn,
  // The server's certificate chain or name did not verify: something on
  // this computer or network may be intercepting secure connections.
  kUntrusted,
};

struct Error {
  ErrorKind kind;
  std::string message;
  // The system's code for a failed system call (errno, or a Win32 error
  // code); 0 for the program's own errors.
  int os_error = 0;
  // The file a failed file operation was on, as base/file.h sets it (for a
  // copy or a move: the destination); empty for other errors.
  std::string path = {};
  Cause cause = Cause::kUnspecified;
  // The server's Retry-After (429, 503): the next request no earlier than
  // this long after the answer.
  std::optional<std::chrono::seconds> retry_after = {};
};

inline Error NetworkError(std::string message) {
  return {ErrorKind::kNetwork, std::move(message)};
}
inline Error ProtocolError(std::string message) {
  return {ErrorKind::kProtocol, std::move(message)};
}
inline Error FileError(std::string message) {
  return {ErrorKind::kFile, std::move(message)};
}
inline Error InputError(std::string message) {
  return {ErrorKind::kInput, std::move(message)};
}
inline Error StartupError(std::string message) {
  return {ErrorKind::kStartup, std::move(message)};
}

// A value of type T or an Error.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(v_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(v_));
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(v_);
  }
  T& operator*() & { return value(); }
  T* operator->() { return &value(); }

  const Error& error() const& {
    assert(!ok());
    return std::get<1>(v_);
  }
  Error&& error() && {
    assert(!ok());
    return std::get<1>(std::move(v_));
  }

 private:
  std::variant<T, Error> v_;
};

// Success without a value, or an Error.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error error) : error_(std::move(error)), ok_(false) {}
  static Status Ok() { return Status(); }

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const Error& error() const& {
    assert(!ok_);
    return error_;
  }

 private:
  Error error_{ErrorKind::kInput, {}};
  bool ok_ = true;
};

}  // namespace talvoro

#endif  // TALVORO_BASE_ERROR_H_
