// The file operations on Windows, through the Win32 file API with UTF-16
// paths. Files are opened with read, write and delete sharing.
#include <windows.h>

#include <algorithm>
#include <utility>

#include "base/file.h"
#include "base/win32_text.h"

namespace talvoro {

namespace {

constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// ReadFile and WriteFile take a 32-bit size.
constexpr size_t kMaxTransfer = size_t{1} << 30;

// The error `code` of a system call on `path`.
Error ErrorFrom(DWORD code, std::string_view path) {
  const bool full = code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL;
  return Error{full ? ErrorKind::kNoSpace : ErrorKind::kFile,
               Win32ErrorText(code), static_cast<int>(code), std::string(path)};
}

// The error of the system call that just failed on `path`.
Error LastError(std::string_view path) {
  return ErrorFrom(GetLastError(), path);
}

HANDLE AsHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

bool IsMissing(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

}  // namespace

Result<File> File::Open(std::string_view path, OpenMode mode) {
  const bool read = mode == OpenMode::kRead;
  HANDLE h = CreateFileW(
      Utf8ToWide(path).c_str(), read ? GENERIC_READ : GENERIC_WRITE, kShareAll,
      nullptr, read ? OPEN_EXISTING : OPEN_ALWAYS,
      read ? FILE_FLAG_SEQUENTIAL_SCAN : FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError(path);
  File file(reinterpret_cast<intptr_t>(h), std::string(path));
  if (mode == OpenMode::kTruncate) {
    Status emptied = file.Truncate();
    if (!emptied.ok()) return emptied.error();
  } else if (mode == OpenMode::kAppend) {
    if (!SetFilePointerEx(h, LARGE_INTEGER{}, nullptr, FILE_END)) {
      return LastError(path);
    }
  }
  return file;
}

Result<uint64_t> File::Size() const {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(AsHandle(handle_), &size)) return LastError(path_);
  return static_cast<uint64_t>(size.QuadPart);
}

Result<size_t> File::Read(void* data, size_t size) {
  DWORD n = 0;
  if (!ReadFile(AsHandle(handle_), data,
                static_cast<DWORD>(std::min(size, kMaxTransfer)), &n,
                nullptr)) {
    return LastError(path_);
  }
  return static_cast<size_t>(n);
}

Status File::WriteAll(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD n = 0;
    if (!WriteFile(AsHandle(handle_), p,
                   static_cast<DWORD>(std::min(size, kMaxTransfer)), &n,
                   nullptr)) {
      return LastError(path_);
    }
    p += n;
    size -= n;
  }
  return Status::Ok();
}

Status File::Truncate() {
  HANDLE h = AsHandle(handle_);
  if (!SetFilePointerEx(h, LARGE_INTEGER{}, nullptr, FILE_BEGIN) ||
      !SetEndOfFile(h)) {
    return LastError(path_);
  }
  return Status::Ok();
}

Status File::Sync() {
  if (!FlushFileBuffers(AsHandle(handle_))) return LastError(path_);
  return Status::Ok();
}

void File::Close() {
  if (handle_ != kClosed)
    CloseHandle(AsHandle(std::exchange(handle_, kClosed)));
}

namespace {

// Windows refuses to delete or replace a read-only file, where POSIX asks
// only the folder: the attribute is taken off first, as the user could.
void ClearReadOnly(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_READONLY) &&
      !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
}

}  // namespace

Status RemoveFile(std::string_view path) {
  const std::wstring name = Utf8ToWide(path);
  ClearReadOnly(name);
  if (!DeleteFileW(name.c_str())) return LastError(path);
  return Status::Ok();
}

Status TruncateFileIfPresent(std::string_view path) {
  HANDLE h =
      CreateFileW(Utf8ToWide(path).c_str(), GENERIC_WRITE, kShareAll, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (IsMissing(code)) return Status::Ok();
    return ErrorFrom(code, path);
  }
  Status emptied = Status::Ok();
  if (!SetEndOfFile(h)) emptied = LastError(path);
  CloseHandle(h);
  return emptied;
}

bool PathExists(std::string_view path) {
  return GetFileAttributesW(Utf8ToWide(path).c_str()) !=
         INVALID_FILE_ATTRIBUTES;
}

Status CopyFileDurably(std::string_view from, std::string_view to) {
  const std::wstring target = Utf8ToWide(to);
  if (!CopyFileW(Utf8ToWide(from).c_str(), target.c_str(),
                 /*bFailIfExists=*/FALSE)) {
    return LastError(to);
  }
  // FlushFileBuffers needs a handle with write access.
  HANDLE h = CreateFileW(target.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError(to);
  Status flushed = Status::Ok();
  if (!FlushFileBuffers(h)) flushed = LastError(to);
  CloseHandle(h);
  return flushed;
}

Status MoveReplacing(std::string_view from, std::string_view to) {
  const std::wstring target = Utf8ToWide(to);
  ClearReadOnly(target);
  if (!MoveFileExW(Utf8ToWide(from).c_str(), target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return LastError(to);
  }
  return Status::Ok();
}

bool IsFileInUse(std::string_view path, const Error& error) {
  switch (static_cast<DWORD>(error.os_error)) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return true;
    case ERROR_ACCESS_DENIED: {
      const DWORD attributes = GetFileAttributesW(Utf8ToWide(path).c_str());
      return attributes != INVALID_FILE_ATTRIBUTES &&
             !(attributes &
               (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));
    }
    default:
      return false;
  }
}

Result<std::string> CurrentDirectory() {
  std::wstring dir(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n =
        GetCurrentDirectoryW(static_cast<DWORD>(dir.size()), dir.data());
    if (n == 0) return LastError({});
    if (n < dir.size()) {
      dir.resize(n);
      break;
    }
    dir.resize(n);  // n counts the terminating zero when it did not fit
  }
  while (!dir.empty() && (dir.back() == L'\\' || dir.back() == L'/')) {
    dir.pop_back();
  }
  return WideToUtf8(dir);
}

Result<uint64_t> FreeSpace(std::string_view folder) {
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(Utf8ToWide(folder).c_str(), &available, nullptr,
                           nullptr)) {
    return LastError(folder);
  }
  return static_cast<uint64_t>(available.QuadPart);
}

size_t MaxPathLength() { return MAX_PATH - 1; }

size_t PathLength(std::string_view path) { return Utf8ToWide(path).size(); }

}  // namespace talvoro
