#include "main/log.h"

#include <chrono>
#include <utility>

#include "base/file.h"
#include "base/utf8.h"

namespace talvoro {

namespace {

// "2026-12-10T02:00:47.123Z"
std::string UtcTimestamp(std::chrono::system_clock::time_point now) {
  using namespace std::chrono;
  const auto ms = floor<milliseconds>(now);
  const auto day = floor<days>(ms);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> time{ms - day};
  // Each field as its digits, zero-padded to `width`.
  std::string text;
  auto put = [&text](int64_t value, int width, char after) {
    std::string digits = std::to_string(value);
    if (static_cast<int>(digits.size()) < width) {
      text.append(width - digits.size(), '0');
    }
    text += digits;
    if (after != '\0') text += after;
  };
  put(static_cast<int>(date.year()), 4, '-');
  put(static_cast<unsigned>(date.month()), 2, '-');
  put(static_cast<unsigned>(date.day()), 2, 'T');
  put(time.hours().count(), 2, ':');
  put(time.minutes().count(), 2, ':');
  put(time.seconds().count(), 2, '.');
  put(time.subseconds().count(), 3, 'Z');
  return text;
}

}  // namespace

std::string WithoutCredentials(std::string_view text) {
  std::string out;
  size_t from = 0;
  for (;;) {
    const size_t scheme = text.find("://", from);
    if (scheme == std::string_view::npos) break;
    const size_t host = scheme + 3;
    // The authority ends at the first '/', '?', '#' or blank.
    const size_t end = text.find_first_of("/?# \t\r\n", host);
    const std::string_view authority = text.substr(host, end - host);
    const size_t at = authority.rfind('@');
    out.append(text.substr(from, host - from));
    from = host;
    if (at != std::string_view::npos) from = host + at + 1;
  }
  out.append(text.substr(from));
  return out;
}

Result<std::unique_ptr<Log>> Log::Open(std::string folder, uint64_t rotate_at) {
  if (Status made = log_file::MakeFolders(folder); !made.ok()) {
    return made.error();
  }
  Result<intptr_t> handle = log_file::OpenForAppend(folder + kLogName);
  if (!handle.ok()) return std::move(handle).error();
  return std::unique_ptr<Log>(new Log(std::move(folder), *handle, rotate_at));
}

Log::Log(std::string folder, intptr_t handle, uint64_t rotate_at)
    : folder_(std::move(folder)),
      path_(folder_ + kLogName),
      handle_(handle),
      rotate_at_(rotate_at) {}

Log::~Log() { log_file::Close(handle_); }

void Log::RotateIfFull() {
  if (log_file::Size(handle_) < rotate_at_) return;
  // Another copy may have renamed the full file already: then the file at
  // the path is its new one, to be shared, not renamed again.
  if (log_file::IsAt(handle_, path_)) {
    (void)MoveReplacing(path_, folder_ + kOldLogName);
  }
  Result<intptr_t> fresh = log_file::OpenForAppend(path_);
  if (!fresh.ok()) return;
  log_file::Close(handle_);
  handle_ = *fresh;
}

void Log::Write(std::string_view text) {
  std::string line = UtcTimestamp(std::chrono::system_clock::now()) + " " +
                     std::to_string(log_file::ProcessId()) + " ";
  const size_t start = line.size();
  // A server's bytes may be anything: the log stays UTF-8.
  line += ToValidUtf8(WithoutCredentials(text));
  for (size_t i = start; i < line.size(); ++i) {
    if (line[i] == '\n' || line[i] == '\r') line[i] = ' ';
  }
  line += '\n';
  std::lock_guard<std::mutex> lock(mutex_);
  RotateIfFull();
  log_file::Append(handle_, line);
}

ProgramReporter::ProgramReporter(Reporter& console, std::unique_ptr<Log> log)
    : console_(console), log_(std::move(log)) {}

void ProgramReporter::Line(Stream stream, std::string_view line) {
  console_.Line(stream, line);
  if (!log_) return;
  if (line.ends_with('\n')) line.remove_suffix(1);
  log_->Write(line);
}

void ProgramReporter::Detail(std::string_view text) {
  if (log_) log_->Write(text);
}

}  // namespace talvoro
