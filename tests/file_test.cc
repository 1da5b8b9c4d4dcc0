// The file operations of base/file.h, checked through std::filesystem:
// open modes, copy, replace, the current folder, and a working folder whose
// name is not ASCII (UTF-8 paths reach the Win32 calls as UTF-16).
#ifdef _WIN32
#include <windows.h>  // ERROR_FILE_NOT_FOUND
#endif

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>

#include "base/file.h"
#include "gtest/gtest.h"
#include "test_files.h"

namespace talvoro {
namespace {

namespace fs = std::filesystem;
using testing::FsPath;
using testing::MissingFileText;
using testing::ReadWholeFile;
using testing::ScratchDir;
using testing::Utf8Path;
using testing::WriteWholeFile;

#ifdef _WIN32
constexpr int kMissingCode = ERROR_FILE_NOT_FOUND;
#else
constexpr int kMissingCode = ENOENT;
#endif

// Opens `path` as `mode`, writes `text` and closes it.
void WriteWith(const std::string& path, OpenMode mode, std::string_view text) {
  Result<File> file = File::Open(path, mode);
  ASSERT_TRUE(file.ok()) << path << ": " << file.error().message;
  ASSERT_TRUE(file->WriteAll(text.data(), text.size()).ok());
}

// The whole file read through File, in small pieces.
std::string ReadWith(const std::string& path) {
  Result<File> file = File::Open(path, OpenMode::kRead);
  if (!file.ok()) return "<" + file.error().message + ">";
  std::string text;
  char buffer[3];
  for (int i = 0; i < 1000; ++i) {
    Result<size_t> n = file->Read(buffer, sizeof buffer);
    if (!n.ok()) return "<" + n.error().message + ">";
    if (*n == 0) break;
    text.append(buffer, *n);
  }
  return text;
}

TEST(FileTest, OpenModesAndTruncate) {
  ScratchDir dir("file-test");
  const std::string path = dir.File("f");
  WriteWith(path, OpenMode::kTruncate, "hello");
  WriteWith(path, OpenMode::kAppend, " world");
  EXPECT_EQ(ReadWith(path), "hello world");
  {
    Result<File> file = File::Open(path, OpenMode::kRead);
    ASSERT_TRUE(file.ok());
    Result<uint64_t> size = file->Size();
    ASSERT_TRUE(size.ok());
    EXPECT_EQ(*size, 11u);
  }
  WriteWith(path, OpenMode::kTruncate, "x");
  EXPECT_EQ(ReadWholeFile(path), "x");

  // After Truncate the next write goes to offset 0, whatever the mode.
  for (OpenMode mode : {OpenMode::kTruncate, OpenMode::kAppend}) {
    ASSERT_TRUE(WriteWholeFile(path, "abcdef"));
    Result<File> file = File::Open(path, mode);
    ASSERT_TRUE(file.ok());
    ASSERT_TRUE(file->WriteAll("gh", 2).ok());
    ASSERT_TRUE(file->Truncate().ok());
    ASSERT_TRUE(file->WriteAll("yz", 2).ok());
    ASSERT_TRUE(file->Sync().ok());
    Result<uint64_t> size = file->Size();
    ASSERT_TRUE(size.ok());
    EXPECT_EQ(*size, 2u);
    file->Close();
    EXPECT_FALSE(file->is_open());
    EXPECT_EQ(ReadWholeFile(path), "yz");
  }

  // A missing file cannot be read, removed or copied; emptying it is no
  // error and makes no file.
  const std::string missing = dir.File("missing");
  Result<File> none = File::Open(missing, OpenMode::kRead);
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error().kind, ErrorKind::kFile);
  EXPECT_EQ(none.error().message, MissingFileText());
  EXPECT_EQ(none.error().os_error, kMissingCode);
  // Under Wine, the text is Wine's own, as the user reads it.
  if (testing::UnderWine()) {
    EXPECT_EQ(none.error().message, "File not found.");
  }
  Status removed = RemoveFile(missing);
  ASSERT_FALSE(removed.ok());
  EXPECT_EQ(removed.error().message, MissingFileText());
  Status copied = CopyFileDurably(missing, path);
  ASSERT_FALSE(copied.ok());
  EXPECT_EQ(copied.error().message, MissingFileText());
  EXPECT_EQ(ReadWholeFile(path), "yz");
  EXPECT_TRUE(TruncateFileIfPresent(missing).ok());
  EXPECT_FALSE(PathExists(missing));
  EXPECT_TRUE(TruncateFileIfPresent(path).ok());
  EXPECT_TRUE(PathExists(path));
  EXPECT_EQ(fs::file_size(FsPath(path)), 0u);
}

TEST(FileTest, CopyAndReplace) {
  ScratchDir dir("file-test");
  const std::string from = dir.File("from");
  const std::string to = dir.File("to");
  ASSERT_TRUE(WriteWholeFile(from, "new"));
  ASSERT_TRUE(WriteWholeFile(to, "an older, longer file"));
  ASSERT_TRUE(CopyFileDurably(from, to).ok());
  EXPECT_EQ(ReadWholeFile(to), "new");
  EXPECT_EQ(ReadWholeFile(from), "new");

  ASSERT_TRUE(WriteWholeFile(to, "old"));
  ASSERT_TRUE(MoveReplacing(from, to).ok());
  EXPECT_EQ(ReadWholeFile(to), "new");
  EXPECT_FALSE(PathExists(from));

  // Onto a folder: refused, and both stay as they were.
  const std::string folder = dir.File("folder");
  ASSERT_TRUE(fs::create_directory(FsPath(folder)));
  ASSERT_TRUE(WriteWholeFile(folder + kPathSeparator + "inside", "kept"));
  Status onto_folder = MoveReplacing(to, folder);
  ASSERT_FALSE(onto_folder.ok());
  EXPECT_EQ(onto_folder.error().kind, ErrorKind::kFile);
  EXPECT_NE(onto_folder.error().os_error, 0);
  EXPECT_EQ(ReadWholeFile(to), "new");
  EXPECT_TRUE(fs::is_directory(FsPath(folder)));
  EXPECT_EQ(ReadWholeFile(folder + kPathSeparator + "inside"), "kept");
}

// A user's download folder under a name in Chinese: every operation,
// and the current folder, with the name unchanged.
// A read-only file is removed and replaced as on POSIX (Windows refuses
// both until the attribute is off); a full disk is kNoSpace; the free space
// of a folder's volume is known.
TEST(FileTest, ReadOnlyFilesFullDiskAndFreeSpace) {
  ScratchDir dir("file-test");
  const std::string target = dir.File("target"), copy = dir.File("copy");
  for (bool replace : {false, true}) {
    ASSERT_TRUE(WriteWholeFile(target, "old"));
    fs::permissions(FsPath(target), fs::perms::owner_write,
                    fs::perm_options::remove);
    if (replace) {
      ASSERT_TRUE(WriteWholeFile(copy, "new"));
      ASSERT_TRUE(MoveReplacing(copy, target).ok());
      EXPECT_EQ(ReadWholeFile(target), "new");
      ASSERT_TRUE(RemoveFile(target).ok());
    } else {
      ASSERT_TRUE(RemoveFile(target).ok());
      EXPECT_FALSE(PathExists(target));
    }
  }
  Result<uint64_t> free = FreeSpace(dir.path());
  ASSERT_TRUE(free.ok()) << free.error().message;
  EXPECT_GT(*free, 0u);
#ifndef _WIN32
  Result<File> full = File::Open("/dev/full", OpenMode::kAppend);
  ASSERT_TRUE(full.ok());
  Status written = full->WriteAll("x", 1);
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().kind, ErrorKind::kNoSpace);
#endif
}

TEST(FileTest, FolderWithANonAsciiName) {
  ScratchDir scratch("file-test");
  const std::string dir =
      scratch.path() + kPathSeparator + "张伟" + kPathSeparator + "Downloads";
  ASSERT_TRUE(fs::create_directories(FsPath(dir)));
  const std::string download = dir + kPathSeparator + "启动器.bin";
  const std::string copy = dir + kPathSeparator + "启动器.exe.tmp";
  const std::string launcher = dir + kPathSeparator + "启动器.exe";

  WriteWith(download, OpenMode::kTruncate, "MZ");
  WriteWith(download, OpenMode::kAppend, " whole");
  EXPECT_EQ(ReadWith(download), "MZ whole");
  ASSERT_TRUE(WriteWholeFile(launcher, "older"));
  ASSERT_TRUE(CopyFileDurably(download, copy).ok());
  ASSERT_TRUE(MoveReplacing(copy, launcher).ok());
  EXPECT_EQ(ReadWholeFile(launcher), "MZ whole");
  EXPECT_TRUE(PathExists(launcher));
  ASSERT_TRUE(RemoveFile(download).ok());

  std::set<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(FsPath(dir))) {
    names.insert(Utf8Path(entry.path().filename()));
  }
  EXPECT_EQ(names, std::set<std::string>{"启动器.exe"});

  const fs::path old = fs::current_path();
  fs::current_path(FsPath(dir));
  Result<std::string> current = CurrentDirectory();
  const std::string expected = Utf8Path(fs::current_path());
  fs::current_path(old);
  ASSERT_TRUE(current.ok()) << current.error().message;
  EXPECT_EQ(*current, expected);
  EXPECT_TRUE(fs::equivalent(FsPath(*current), FsPath(dir)));
  EXPECT_NE(current->back(), kPathSeparator);
}

}  // namespace
}  // namespace talvoro
