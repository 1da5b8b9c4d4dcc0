// The file operations of the engine and the application.
//
// Paths are UTF-8 everywhere in the program; the Windows implementation
// (file_win.cc) turns them into UTF-16 at the system calls, the POSIX one
// (file_posix.cc) hands them over as they are. Files are opened so that
// other processes may read, write and delete them meanwhile.
//
// Every failure is a kFile error (kNoSpace when the disk is full) whose
// message is the system's own text for the failure (for example "No such
// file or directory"), whose os_error is the system's code for it (errno,
// or the Win32 error code) and whose path is the file it was on.
// FileErrorText is the one place such an error becomes a printed text.
#ifndef TALVORO_BASE_FILE_H_
#define TALVORO_BASE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "base/error.h"

namespace talvoro {

// What goes between a folder and a name in a path built by the program.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// How FileErrorText shows a failed file operation.
struct FileErrorStyle {
  // When not empty, the text begins "<lead> <path>: ".
  std::string_view lead = {};
  // Whether " (os error <os_error>)" follows the system's text.
  bool code = false;
};

// The text of `error`, a failed file operation of this module:
// "[<lead> <path>: ]<system text>[ (os error <code>)]" as `style` asks.
std::string FileErrorText(const Error& error, FileErrorStyle style = {});

enum class OpenMode {
  kRead,      // an existing file, for reading from its start
  kAppend,    // for writing at its end; created if missing, never emptied
  kTruncate,  // for writing from 0; created if missing, emptied if present
};

// An open file. Owns its handle and closes it when destroyed. Used by one
// thread at a time.
class File {
 public:
  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens `path` as `mode` says. Errors: the system's, e.g. a missing file
  // for kRead, a missing folder, no permission.
  static Result<File> Open(std::string_view path, OpenMode mode);

  bool is_open() const { return handle_ != kClosed; }

  // The file's current length in bytes.
  Result<uint64_t> Size() const;

  // Reads up to `size` bytes at the current position into `data`; 0 at the
  // end of the file.
  Result<size_t> Read(void* data, size_t size);

  // Writes all `size` bytes of `data`, at the end for kAppend, else at the
  // current position.
  Status WriteAll(const void* data, size_t size);

  // Empties the file; the next write goes to offset 0.
  Status Truncate();

  // Returns once the file's data has reached the disk.
  Status Sync();

  // Closes the handle now; the File is then closed (is_open() is false).
  void Close();

 private:
  static constexpr intptr_t kClosed = -1;
  File(intptr_t handle, std::string path)
      : handle_(handle), path_(std::move(path)) {}

  // A file descriptor, or a Win32 HANDLE.
  intptr_t handle_ = kClosed;
  // The path it was opened with, for its errors.
  std::string path_;
};

// Deletes the file at `path`. A missing file is an error.
Status RemoveFile(std::string_view path);

// Empties the file at `path` if there is one; a missing file is no error.
Status TruncateFileIfPresent(std::string_view path);

// Whether anything (a file, a folder, a link) has the name `path`.
bool PathExists(std::string_view path);

// Copies the file `from` to `to` (created, or emptied first) and returns
// once the copy has reached the disk. On error `to` may hold part of the
// copy; `from` is never changed.
Status CopyFileDurably(std::string_view from, std::string_view to);

// Moves the file `from` to the name `to` in one step, replacing a file
// there: whoever opens `to` finds the old file or the new one, never a
// mix. The move reaches the disk before it returns where the system allows
// it. Fails, leaving both as they were, when `to` is a folder (or, on
// Windows, a program that is running).
Status MoveReplacing(std::string_view from, std::string_view to);

// Whether `error`, returned by RemoveFile or MoveReplacing for `path`, says
// that another program has the file open or is running it, which may soon
// end: a sharing or lock violation, or on Windows access denied to a file
// that is neither a folder nor read-only (those operations clear the
// read-only mark first). Always false on POSIX, where neither is refused
// for that reason.
bool IsFileInUse(std::string_view path, const Error& error);

// The process's current folder, without a trailing separator.
Result<std::string> CurrentDirectory();

// The bytes this process may still write on the volume that holds
// `folder`.
Result<uint64_t> FreeSpace(std::string_view folder);

// The longest path the system's file and process services take, and the
// length of `path` as they count it. On Windows MAX_PATH - 1 UTF-16 units:
// paths past it work only with a system-wide setting, and CreateProcessW
// starts no program from one in any case. On POSIX PATH_MAX - 1 bytes.
size_t MaxPathLength();
size_t PathLength(std::string_view path);

}  // namespace talvoro

#endif  // TALVORO_BASE_FILE_H_
