#include <windows.h>

#include "base/utf8.h"
#include "base/win32_text.h"
#include "main/log.h"

namespace talvoro {

namespace {

HANDLE AsHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

Error SystemError(const std::string& what, const std::string& path) {
  const DWORD code = GetLastError();
  return Error{ErrorKind::kFile,
               what + " " + path + ": " + Win32ErrorText(code),
               static_cast<int>(code), path};
}

// The volume and file index of an open file.
bool FileId(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  return GetFileInformationByHandle(file, info) != 0;
}

}  // namespace

Result<std::string> LogFolder() {
  wchar_t value[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", value, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return FileError("LOCALAPPDATA is not set");
  return WideToUtf8(value) + "\\Corvadelin\\Logs\\";
}

namespace log_file {

Status MakeFolders(const std::string& folder) {
  // Past the drive ("C:\") or the server and share ("\\server\share\").
  size_t from = folder.starts_with("\\\\") ? folder.find('\\', 2) : 2;
  if (from != std::string::npos) from = folder.find('\\', from + 1);
  for (size_t slash = from; slash != std::string::npos;
       slash = folder.find('\\', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (!CreateDirectoryW(Utf8ToWide(part).c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      return SystemError("cannot create", part);
    }
  }
  return Status::Ok();
}

Result<intptr_t> OpenForAppend(const std::string& path) {
  // Appends only; the attributes for the size and the file's identity.
  HANDLE h = CreateFileW(Utf8ToWide(path).c_str(),
                         FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return SystemError("cannot open", path);
  return reinterpret_cast<intptr_t>(h);
}

void Append(intptr_t handle, std::string_view data) {
  DWORD written = 0;
  (void)WriteFile(AsHandle(handle), data.data(),
                  static_cast<DWORD>(data.size()), &written, nullptr);
}

uint64_t Size(intptr_t handle) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(AsHandle(handle), &size)) return 0;
  return static_cast<uint64_t>(size.QuadPart);
}

bool IsAt(intptr_t handle, const std::string& path) {
  HANDLE named =
      CreateFileW(Utf8ToWide(path).c_str(), 0,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a, b;
  const bool same = FileId(AsHandle(handle), &a) && FileId(named, &b) &&
                    a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                    a.nFileIndexHigh == b.nFileIndexHigh &&
                    a.nFileIndexLow == b.nFileIndexLow;
  CloseHandle(named);
  return same;
}

void Close(intptr_t handle) { CloseHandle(AsHandle(handle)); }

unsigned long ProcessId() { return GetCurrentProcessId(); }

}  // namespace log_file

}  // namespace talvoro
