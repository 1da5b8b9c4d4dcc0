// The platform-neutral part of the file operations: the File handle's
// ownership and the text of a failed operation.
#include "base/file.h"

namespace talvoro {

File::File(File&& other) noexcept
    : handle_(std::exchange(other.handle_, kClosed)),
      path_(std::move(other.path_)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, kClosed);
    path_ = std::move(other.path_);
  }
  return *this;
}

File::~File() { Close(); }

std::string FileErrorText(const Error& error, FileErrorStyle style) {
  std::string text;
  if (!style.lead.empty()) {
    text.append(style.lead).append(" ").append(error.path).append(": ");
  }
  text += error.message;
  if (style.code) text += " (os error " + std::to_string(error.os_error) + ")";
  return text;
}

}  // namespace talvoro
