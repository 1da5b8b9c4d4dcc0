#include "download/http_parse.h"

#include <algorithm>

#include "download/text.h"

namespace talvoro {

namespace {

char FoldCase(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

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

}  // namespace talvoro
