#include "download/http_parse.h"

#include <algorithm>

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
  if (!status || status->version != "HTTP/1.1" || !status->code_alone) {
    return false;
  }
  for (int code : {301, 302, 307, 308}) {
    if (status->code == code) return true;
  }
  return false;
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
  StatusLine status;
  status.version = text.substr(0, 8);
  status.code =
      (text[9] - '0') * 100 + (text[10] - '0') * 10 + (text[11] - '0');
  status.code_alone = text.size() == 12 || text[12] == ' ' ||
                      text[12] == '\r' || text[12] == '\n';
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

Error StatusFailure(std::string_view prefix, std::string_view response,
                    bool complete) {
  std::string message(prefix);
  message.append(TrimWhiteSpace(response));
  // Nothing at all came back, or the answer was cut short: the connection
  // failed, not the server's answer.
  if (response.empty() || !complete) return NetworkError(std::move(message));
  return ProtocolError(std::move(message));
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
