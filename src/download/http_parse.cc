#include "download/http_parse.h"

#include <algorithm>
#include <cstdint>

#include "download/parse_int.h"
#include "download/text.h"

namespace talvoro {

namespace {

char FoldCase(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

constexpr std::string_view kContentLengthName = "Content-Length";
constexpr std::string_view kCrcName = "x-oss-hash-crc64ecma";
constexpr std::string_view kEtagName = "ETag";

Result<uint64_t> ParseHeaderNumber(std::string_view value) {
  return ParseUnsigned(value, UINT64_MAX, ErrorKind::kProtocol);
}

bool IsRedirectStatus(std::string_view response) {
  const std::optional<StatusLine> status = ParseStatusLine(response);
  if (!status || status->version != "HTTP/1.1") return false;
  for (int code : {301, 302, 307, 308}) {
    if (status->code == code) return true;
  }
  return false;
}

constexpr std::string_view kDayNames[] = {"Mon", "Tue", "Wed", "Thu",
                                          "Fri", "Sat", "Sun"};
constexpr std::string_view kLongDayNames[] = {
    "Monday", "Tuesday",  "Wednesday", "Thursday",
    "Friday", "Saturday", "Sunday"};
constexpr std::string_view kMonthNames[] = {"Jan", "Feb", "Mar", "Apr",
                                            "May", "Jun", "Jul", "Aug",
                                            "Sep", "Oct", "Nov", "Dec"};

// A delta-seconds above this is taken as this (about 68 years).
constexpr int64_t kMaxDeltaSeconds = INT32_MAX;

// Takes the pieces of an HTTP-date from the front of a text, names and
// literals matched with case.
class DateReader {
 public:
  explicit DateReader(std::string_view text) : rest_(text) {}

  bool done() const { return rest_.empty(); }

  // Whether `text` comes next; taken if so.
  bool Take(std::string_view text) {
    if (!rest_.starts_with(text)) return false;
    rest_.remove_prefix(text.size());
    return true;
  }

  // The index in `names` of the name that comes next, taken; nullopt when
  // none does.
  template <size_t N>
  std::optional<int> TakeName(const std::string_view (&names)[N]) {
    for (size_t i = 0; i < N; ++i) {
      if (Take(names[i])) return static_cast<int>(i);
    }
    return std::nullopt;
  }

  // `count` decimal digits, the first of which may be a blank when
  // `blank_first`.
  std::optional<int> TakeNumber(size_t count, bool blank_first = false) {
    if (rest_.size() < count) return std::nullopt;
    int number = 0;
    for (size_t i = 0; i < count; ++i) {
      const char c = rest_[i];
      if (i == 0 && blank_first && c == ' ' && count > 1) continue;
      if (!IsDigit(c)) return std::nullopt;
      number = number * 10 + (c - '0');
    }
    rest_.remove_prefix(count);
    return number;
  }

 private:
  std::string_view rest_;
};

// A calendar date and time of day in GMT, as an HTTP-date writes it.
struct DateParts {
  int year = 0;
  int month = 0;  // 1 to 12
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// "HH:MM:SS" into `parts`.
bool TakeTimeOfDay(DateReader& reader, DateParts* parts) {
  std::optional<int> hour = reader.TakeNumber(2);
  if (!hour || !reader.Take(":")) return false;
  std::optional<int> minute = reader.TakeNumber(2);
  if (!minute || !reader.Take(":")) return false;
  std::optional<int> second = reader.TakeNumber(2);
  if (!second) return false;
  parts->hour = *hour;
  parts->minute = *minute;
  parts->second = *second;
  return true;
}

// The month name that comes next, into `parts` (1 to 12).
bool TakeMonth(DateReader& reader, DateParts* parts) {
  std::optional<int> month = reader.TakeName(kMonthNames);
  if (month) parts->month = *month + 1;
  return month.has_value();
}

// "Sun, 06 Nov 1994 08:49:37 GMT"
std::optional<DateParts> ParseImfFixdate(std::string_view text) {
  DateReader r(text);
  DateParts parts;
  std::optional<int> day, year;
  if (!r.TakeName(kDayNames) || !r.Take(", ") || !(day = r.TakeNumber(2)) ||
      !r.Take(" ") || !TakeMonth(r, &parts) || !r.Take(" ") ||
      !(year = r.TakeNumber(4)) || !r.Take(" ") || !TakeTimeOfDay(r, &parts) ||
      !r.Take(" GMT") || !r.done()) {
    return std::nullopt;
  }
  parts.day = *day;
  parts.year = *year;
  return parts;
}

// "Sunday, 06-Nov-94 08:49:37 GMT"; the century from `this_year`.
std::optional<DateParts> ParseRfc850Date(std::string_view text, int this_year) {
  DateReader r(text);
  DateParts parts;
  std::optional<int> day, year;
  if (!r.TakeName(kLongDayNames) || !r.Take(", ") || !(day = r.TakeNumber(2)) ||
      !r.Take("-") || !TakeMonth(r, &parts) || !r.Take("-") ||
      !(year = r.TakeNumber(2)) || !r.Take(" ") || !TakeTimeOfDay(r, &parts) ||
      !r.Take(" GMT") || !r.done()) {
    return std::nullopt;
  }
  parts.day = *day;
  // The latest year with these two digits that is not more than 50 years
  // ahead.
  parts.year = this_year - this_year % 100 + *year;
  if (parts.year > this_year + 50) parts.year -= 100;
  return parts;
}

// "Sun Nov  6 08:49:37 1994"
std::optional<DateParts> ParseAsctimeDate(std::string_view text) {
  DateReader r(text);
  DateParts parts;
  std::optional<int> day, year;
  if (!r.TakeName(kDayNames) || !r.Take(" ") || !TakeMonth(r, &parts) ||
      !r.Take(" ") || !(day = r.TakeNumber(2, /*blank_first=*/true)) ||
      !r.Take(" ") || !TakeTimeOfDay(r, &parts) || !r.Take(" ") ||
      !(year = r.TakeNumber(4)) || !r.done()) {
    return std::nullopt;
  }
  parts.day = *day;
  parts.year = *year;
  return parts;
}

// The time `parts` names; nullopt for a day or a time that does not exist
// (a leap second, :60, is taken as the next second).
std::optional<std::chrono::sys_seconds> TimeOf(const DateParts& parts) {
  using namespace std::chrono;
  const year_month_day date{year(parts.year),
                            month(static_cast<unsigned>(parts.month)),
                            day(static_cast<unsigned>(parts.day))};
  if (!date.ok() || parts.hour > 23 || parts.minute > 59 || parts.second > 60) {
    return std::nullopt;
  }
  return sys_days(date) + hours(parts.hour) + minutes(parts.minute) +
         seconds(parts.second);
}

// The time of an HTTP-date in any of its three forms.
std::optional<std::chrono::sys_seconds> ParseHttpDate(
    std::string_view text, std::chrono::system_clock::time_point now) {
  using namespace std::chrono;
  const int this_year =
      static_cast<int>(year_month_day(floor<days>(now)).year());
  std::optional<DateParts> parts = ParseImfFixdate(text);
  if (!parts) parts = ParseRfc850Date(text, this_year);
  if (!parts) parts = ParseAsctimeDate(text);
  if (!parts) return std::nullopt;
  return TimeOf(*parts);
}

}  // namespace

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char x, char y) { return FoldCase(x) == FoldCase(y); });
}

std::optional<StatusLine> ParseStatusLine(std::string_view text) {
  if (text.size() < 12 || text[8] != ' ' || !IsDigit(text[9]) ||
      !IsDigit(text[10]) || !IsDigit(text[11])) {
    return std::nullopt;
  }
  if (text.size() > 12 && text[12] != ' ' && text[12] != '\r' &&
      text[12] != '\n') {
    return std::nullopt;
  }
  StatusLine status;
  status.version = text.substr(0, 8);
  status.code =
      (text[9] - '0') * 100 + (text[10] - '0') * 10 + (text[11] - '0');
  return status;
}

bool IsHttp11Status(std::string_view text, int code) {
  const std::optional<StatusLine> status = ParseStatusLine(text);
  return status && status->version == "HTTP/1.1" && status->code == code;
}

std::optional<std::string_view> HeaderValue(std::string_view line,
                                            std::string_view name) {
  if (line.size() <= name.size() || line[name.size()] != ':' ||
      !EqualsIgnoringCase(line.substr(0, name.size()), name)) {
    return std::nullopt;
  }
  return TrimWhiteSpace(line.substr(name.size() + 1));
}

std::string_view TakeLine(std::string_view& rest) {
  const size_t newline = rest.find('\n');
  std::string_view line = rest.substr(0, newline);
  rest = newline == std::string_view::npos ? std::string_view()
                                           : rest.substr(newline + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool IsServerBusyStatus(int code) {
  return code == 500 || code == 502 || code == 503 || code == 504 ||
         code == 429;
}

std::optional<std::chrono::seconds> ParseRetryAfter(
    std::string_view value, std::chrono::system_clock::time_point now) {
  using std::chrono::seconds;
  if (!value.empty() && std::all_of(value.begin(), value.end(), IsDigit)) {
    int64_t delta = 0;
    for (char c : value) {
      delta = std::min(delta * 10 + (c - '0'), kMaxDeltaSeconds);
    }
    return seconds(delta);
  }
  const std::optional<std::chrono::sys_seconds> when =
      ParseHttpDate(value, now);
  if (!when) return std::nullopt;
  // Compared in whole seconds: a date centuries ahead does not fit the
  // clock's own (nanosecond) unit.
  const std::chrono::sys_seconds now_s = std::chrono::floor<seconds>(now);
  if (*when <= now_s) return seconds(0);
  return *when - now_s;
}

std::optional<std::chrono::seconds> RetryAfterOf(
    std::string_view head, std::chrono::system_clock::time_point now) {
  std::string_view rest = head;
  TakeLine(rest);  // the status line
  std::optional<std::string_view> last;
  while (!rest.empty()) {
    const std::string_view line = TakeLine(rest);
    if (line.empty()) break;  // the end of the headers
    if (std::optional<std::string_view> value =
            HeaderValue(line, "Retry-After")) {
      last = value;
    }
  }
  if (!last) return std::nullopt;
  return ParseRetryAfter(*last, now);
}

Error StatusFailure(std::string_view prefix, std::string_view response,
                    bool complete, std::chrono::system_clock::time_point now) {
  std::string message(prefix);
  message.append(TrimWhiteSpace(response));
  // Nothing at all came back, or the answer was cut short: the connection
  // failed, not the server's answer.
  if (response.empty() || !complete) return NetworkError(std::move(message));
  Error error = ProtocolError(std::move(message));
  const std::optional<StatusLine> status = ParseStatusLine(response);
  if (status && status->version.starts_with("HTTP/1.") &&
      IsServerBusyStatus(status->code)) {
    error.cause = Cause::kServerBusy;
    if (status->code == 429 || status->code == 503) {
      error.retry_after = RetryAfterOf(response, now);
    }
  }
  return error;
}

bool HeaderBlockEnded(std::string_view response) {
  return response.find("\n\r\n") != std::string_view::npos ||
         response.find("\n\n") != std::string_view::npos;
}

Result<HeadAnswer> ReadHeadAnswer(std::string_view response) {
  if (!IsValidUtf8(response)) return ProtocolError(kInvalidUtf8Message);
  if (!IsHttp11Status(response, 200)) {
    return StatusFailure(kHeadFailedPrefix, response);
  }
  HeadAnswer answer;
  std::string_view rest = response;
  while (!rest.empty()) {
    const std::string_view line = TakeLine(rest);
    HeadField field;
    std::optional<std::string_view> value;
    if ((value = HeaderValue(line, kContentLengthName))) {
      field.kind = HeadField::kContentLength;
    } else if ((value = HeaderValue(line, kCrcName))) {
      field.kind = HeadField::kCrc;
    } else if ((value = HeaderValue(line, kEtagName))) {
      field.kind = HeadField::kEtag;
      field.text = *value;
      answer.etag = *value;
      answer.fields.push_back(field);
      continue;
    } else {
      continue;
    }
    Result<uint64_t> number = ParseHeaderNumber(*value);
    if (!number.ok()) {
      answer.error = std::move(number).error();
      break;
    }
    field.number = *number;
    if (field.kind == HeadField::kContentLength) {
      answer.content_length = field.number;
    } else {
      answer.crc = field.number;
    }
    answer.fields.push_back(field);
  }
  return answer;
}

Result<std::optional<std::string>> RedirectLocation(std::string_view response) {
  if (!IsRedirectStatus(response)) return std::optional<std::string>();
  std::string_view rest = response;
  while (!rest.empty()) {
    const std::string_view line = TakeLine(rest);
    if (line.empty()) break;  // the end of the headers
    if (std::optional<std::string_view> value = HeaderValue(line, "Location");
        value && !value->empty()) {
      return std::optional<std::string>(std::string(*value));
    }
  }
  return ProtocolError(
      std::string(kHeadFailedPrefix) +
      std::string(TrimWhiteSpace(response.substr(0, response.find('\n')))) +
      " (a redirect without a Location)");
}

Result<int> ParseGetStatus(std::string_view line) {
  if (IsHttp11Status(line, 200)) return 200;
  if (IsHttp11Status(line, 206)) return 206;
  if (!IsValidUtf8(line)) return ProtocolError(kInvalidUtf8Message);
  return StatusFailure(kGetFailedPrefix, line);
}

Status TakeGetHeader(std::string_view line, GetHead* head) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
    line.remove_suffix(1);
  }
  if (std::optional<std::string_view> range =
          HeaderValue(line, "Content-Range")) {
    head->content_range = std::string(*range);
  } else if (std::optional<std::string_view> codings =
                 HeaderValue(line, "Transfer-Encoding")) {
    // Any coding but chunked alone (compression, say) would change the
    // file's bytes.
    if (!EqualsIgnoringCase(*codings, "chunked")) {
      return ProtocolError("unsupported transfer coding: " +
                           std::string(*codings));
    }
    head->chunked = true;
  }
  return Status::Ok();
}

std::optional<uint64_t> ParseChunkSize(std::string_view line) {
  line = TrimWhiteSpace(line.substr(0, line.find(';')));
  if (line.empty() || line.size() > 16) return std::nullopt;
  uint64_t size = 0;
  for (char c : line) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    size = size << 4 | static_cast<uint64_t>(digit);
  }
  return size;
}

std::optional<ContentRange> ParseContentRange(std::string_view value) {
  // "bytes first-last/total" or "bytes first-last/*".
  if (!value.starts_with("bytes ")) return std::nullopt;
  value.remove_prefix(6);
  const size_t dash = value.find('-');
  const size_t slash = value.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos ||
      slash < dash) {
    return std::nullopt;
  }
  auto number = [](std::string_view text) -> std::optional<uint64_t> {
    if (text.empty() || text.front() == '+') return std::nullopt;
    Result<uint64_t> n = ParseUnsigned(text, UINT64_MAX, ErrorKind::kProtocol);
    if (!n.ok()) return std::nullopt;
    return *n;
  };
  std::optional<uint64_t> first = number(value.substr(0, dash));
  std::optional<uint64_t> last =
      number(value.substr(dash + 1, slash - dash - 1));
  if (!first || !last || *last < *first) return std::nullopt;
  ContentRange range{*first, *last, std::nullopt};
  if (value.substr(slash + 1) != "*") {
    range.total = number(value.substr(slash + 1));
    if (!range.total || *range.total <= *last) return std::nullopt;
  }
  return range;
}

}  // namespace talvoro
