#include "download/proxy_auth.h"

#include <cstdint>
#include <cstring>

#include "download/connection.h"  // kProxyAuthMessage
#include "download/http_parse.h"

namespace talvoro {

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool IsTokenChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken68Char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') ||
         std::string_view("-._~+/").find(c) != std::string_view::npos;
}

// Reads challenge text from `text` at `pos`.
class ChallengeReader {
 public:
  explicit ChallengeReader(std::string_view text) : text_(text) {}

  bool AtEnd() const { return pos_ >= text_.size(); }

  void SkipBlanks() {
    while (!AtEnd() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
  }
  void SkipBlanksAndCommas() {
    while (!AtEnd() && std::string_view(" \t,").find(text_[pos_]) !=
                           std::string_view::npos) {
      ++pos_;
    }
  }
  bool Take(char c) {
    if (AtEnd() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }
  std::string_view Token() {
    const size_t begin = pos_;
    while (!AtEnd() && IsTokenChar(text_[pos_])) ++pos_;
    return text_.substr(begin, pos_ - begin);
  }
  // A token68 that ends the challenge (then the end or a comma), or
  // nothing (the position unchanged).
  std::string_view Token68() {
    const size_t begin = pos_;
    while (!AtEnd() && IsToken68Char(text_[pos_])) ++pos_;
    const size_t letters = pos_;
    while (!AtEnd() && text_[pos_] == '=') ++pos_;
    const size_t end = pos_;
    SkipBlanks();
    if (letters > begin && (AtEnd() || text_[pos_] == ',')) {
      return text_.substr(begin, end - begin);
    }
    pos_ = begin;
    return {};
  }
  // A quoted string (its escapes undone) or a token.
  std::string Value() {
    if (!Take('"')) return std::string(Token());
    std::string value;
    while (!AtEnd() && text_[pos_] != '"') {
      if (text_[pos_] == '\\' && pos_ + 1 < text_.size()) ++pos_;
      value.push_back(text_[pos_++]);
    }
    Take('"');
    return value;
  }
  // Reads "name = value" into `params`; false (position unchanged) when
  // what follows is not a parameter.
  bool Param(AuthChallenge* challenge) {
    const size_t begin = pos_;
    const std::string_view name = Token();
    SkipBlanks();
    if (name.empty() || !Take('=')) {
      pos_ = begin;
      return false;
    }
    SkipBlanks();
    challenge->params.emplace_back(std::string(name), Value());
    SkipBlanks();
    return true;
  }
  // Moves past a byte that starts nothing readable.
  void Skip() { ++pos_; }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

std::vector<AuthChallenge> ParseChallenges(std::string_view value) {
  std::vector<AuthChallenge> challenges;
  ChallengeReader reader(value);
  for (reader.SkipBlanksAndCommas(); !reader.AtEnd();
       reader.SkipBlanksAndCommas()) {
    const std::string_view scheme = reader.Token();
    if (scheme.empty()) {
      reader.Skip();
      continue;
    }
    AuthChallenge challenge{std::string(scheme), {}, {}};
    reader.SkipBlanks();
    challenge.token = std::string(reader.Token68());
    if (challenge.token.empty()) {
      // Parameters, separated by commas, up to the next scheme.
      while (reader.Param(&challenge)) {
        if (!reader.Take(',')) break;
        reader.SkipBlanksAndCommas();
      }
    }
    challenges.push_back(std::move(challenge));
  }
  return challenges;
}

std::vector<AuthChallenge> ProxyChallenges(std::string_view head) {
  std::vector<AuthChallenge> challenges;
  TakeLine(head);  // the status line
  while (!head.empty()) {
    const std::string_view line = TakeLine(head);
    if (line.empty()) break;
    if (auto value = HeaderValue(line, "Proxy-Authenticate")) {
      for (AuthChallenge& c : ParseChallenges(*value)) {
        challenges.push_back(std::move(c));
      }
    }
  }
  return challenges;
}

const AuthChallenge* FindChallenge(const std::vector<AuthChallenge>& challenges,
                                   std::string_view scheme) {
  for (const AuthChallenge& c : challenges) {
    if (EqualsIgnoringCase(c.scheme, scheme)) return &c;
  }
  return nullptr;
}

std::string SchemeList(const std::vector<AuthChallenge>& challenges) {
  std::string list;
  for (const AuthChallenge& c : challenges) {
    if (list.find(c.scheme) != std::string::npos) continue;
    list += (list.empty() ? "" : ", ") + c.scheme;
  }
  return list.empty() ? "none" : list;
}

std::string Base64Encode(std::string_view bytes) {
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t group = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<uint8_t>(bytes[i + 2]);
    for (size_t k = 0; k < 4; ++k) {
      text.push_back(k <= bytes.size() - i
                         ? kBase64Alphabet[(group >> (18 - 6 * k)) & 63]
                         : '=');
    }
  }
  return text;
}

std::optional<std::string> Base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return {};
  std::string bytes;
  for (size_t i = 0; i < text.size(); i += 4) {
    uint32_t group = 0;
    size_t padding = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      const char* at = c ? std::strchr(kBase64Alphabet, c) : nullptr;
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        ++padding;
      } else if (at == nullptr || padding > 0) {
        return {};
      }
      group =
          group << 6 | (at ? static_cast<uint32_t>(at - kBase64Alphabet) : 0);
    }
    for (size_t k = 0; k < 3 - padding; ++k) {
      bytes.push_back(static_cast<char>(group >> (16 - 8 * k)));
    }
  }
  return bytes;
}

std::string BasicAuthorization(std::string_view user,
                               std::string_view password) {
  return "Basic " +
         Base64Encode(std::string(user) + ":" + std::string(password));
}

Error SignInError(const std::vector<AuthChallenge>& challenges,
                  std::string_view reason) {
  Error error = NetworkError(std::string(kProxyAuthMessage) +
                             " (offered: " + SchemeList(challenges) + "); " +
                             std::string(reason));
  error.cause = Cause::kProxySignIn;
  return error;
}

Result<std::string> RespondWithBasic(
    const ProxyServer& proxy, const std::vector<AuthChallenge>& challenges,
    bool* basic_sent, std::string_view failure) {
  if (FindChallenge(challenges, "Basic") == nullptr) {
    return SignInError(challenges, failure.empty()
                                       ? "none of these schemes is supported"
                                       : failure);
  }
  if (*basic_sent) {
    return SignInError(challenges, "the user name or password was refused");
  }
  if (proxy.user.empty()) {
    return SignInError(challenges,
                       failure.empty()
                           ? "no user name and password in the proxy address"
                           : failure);
  }
  *basic_sent = true;
  return BasicAuthorization(proxy.user, proxy.password);
}

}  // namespace talvoro
