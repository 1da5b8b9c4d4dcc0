// The proxy from the user's settings (what the system's own programs use).
// An automatic configuration script, named by the settings or found on the
// network (WPAD, when the settings ask for auto-detection), is fetched and
// run by WinHTTP in a session of its own; its ordered answer is the list of
// choices. Without a script, or when it cannot be fetched or run: the fixed
// entry (the "https=" entry of a per-protocol list, or the one proxy for
// all) with the bypass list and "<local>", else a direct connection.
//
// winhttp is loaded from System32 at the first lookup, never imported
// (base/system_library.h).
#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <mutex>

#include "base/console.h"
#include "base/system_library.h"
#include "base/win32_text.h"
#include "download/proxy.h"

namespace talvoro {

namespace {

// The user's settings as WinHTTP reads them.
struct UserSettings {
  bool auto_detect = false;
  std::wstring script_url;  // empty: none
  std::string proxy;        // the fixed entry
  std::string bypass;
};

// Each of the two report lines is printed once per run.
std::atomic<bool> script_choice_printed{false};
std::atomic<bool> script_fallback_printed{false};

void ReportOnce(std::atomic<bool>& printed, Reporter* reporter,
                const std::string& line) {
  if (!printed.exchange(true)) {
    ReporterOr(reporter).Line(Stream::kOut, line + "\n");
  }
}

// One lookup at a time.
std::mutex lookup_mutex;

// A function of winhttp.dll; a failure to load it is a network failure (no
// connection can be made without knowing whether a proxy is needed), which
// keeps the partial download.
template <typename F>
Result<std::remove_pointer_t<F>*> WinHttpFunction(const char* name) {
  auto function = SystemFunctionOf<F>(L"winhttp.dll", name);
  if (!function.ok()) {
    Error error = std::move(function).error();
    error.kind = ErrorKind::kNetwork;
    return error;
  }
  return function;
}

std::string TakeText(LPWSTR text) {
  if (text == nullptr) return {};
  std::string utf8 = WideToUtf8(text);
  GlobalFree(text);
  return utf8;
}

Result<UserSettings> ReadUserSettings() {
  auto read_settings =
      WinHttpFunction<decltype(WinHttpGetIEProxyConfigForCurrentUser)>(
          "WinHttpGetIEProxyConfigForCurrentUser");
  if (!read_settings.ok()) return std::move(read_settings).error();
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
  UserSettings settings;
  if (!(*read_settings)(&config)) return settings;
  settings.auto_detect = config.fAutoDetect;
  if (config.lpszAutoConfigUrl) {
    settings.script_url = config.lpszAutoConfigUrl;
    GlobalFree(config.lpszAutoConfigUrl);
  }
  settings.proxy = TakeText(config.lpszProxy);
  settings.bypass = TakeText(config.lpszProxyBypass);
  return settings;
}

// The entry for https of a list such as "http=a:80;https=b:443", or the
// whole text when it names one proxy for every protocol.
std::string HttpsEntry(const std::string& list) {
  if (list.find('=') == std::string::npos) {
    const size_t end = list.find_first_of("; ");
    return list.substr(0, end);
  }
  size_t begin = 0;
  while (begin < list.size()) {
    size_t end = list.find_first_of("; ", begin);
    if (end == std::string::npos) end = list.size();
    const std::string entry = list.substr(begin, end - begin);
    if (entry.rfind("https=", 0) == 0) return entry.substr(6);
    begin = end + 1;
  }
  return {};
}

// The fixed entry's choice for `host`.
Result<ProxyChoice> FixedChoice(const UserSettings& settings,
                                std::string_view host) {
  const std::string entry = HttpsEntry(settings.proxy);
  if (entry.empty() || BypassesProxy(host, settings.bypass)) {
    return ProxyChoice();
  }
  Result<ProxyServer> server = ParseProxyAddress(entry);
  if (!server.ok()) return std::move(server).error();
  server->source = ProxySource::kSettings;
  return ProxyChoice(std::move(server).value());
}

// The address the script is asked about: "https://host:port/path".
std::wstring ScriptQuestion(const ParsedUrl& url) {
  const bool ipv6 = url.host.find(':') != std::string::npos;
  return Utf8ToWide("https://" + (ipv6 ? "[" + url.host + "]" : url.host) +
                    ":" + std::to_string(url.port) + url.path);
}

// Asks WinHTTP for the script's answer in `session`. The answer, or
// nullopt when only auto-detection was asked for and the network offers no
// script. Errors (kNetwork): the script could not be found, fetched or run
// ("proxy auto-configuration failed: <system text>"), or its answer names
// no usable proxy.
Result<std::optional<std::vector<ProxyChoice>>> AskScript(
    HINTERNET session, const UserSettings& settings, const ParsedUrl& url) {
  auto get_proxy =
      WinHttpFunction<decltype(WinHttpGetProxyForUrl)>("WinHttpGetProxyForUrl");
  if (!get_proxy.ok()) return std::move(get_proxy).error();
  WINHTTP_AUTOPROXY_OPTIONS options{};
  if (settings.auto_detect) {
    options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags =
        WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  if (!settings.script_url.empty()) {
    options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = settings.script_url.c_str();
  }
  const std::wstring question = ScriptQuestion(url);
  WINHTTP_PROXY_INFO info{};
  if (!(*get_proxy)(session, question.c_str(), &options, &info)) {
    const DWORD code = GetLastError();
    if (code == ERROR_WINHTTP_AUTODETECTION_FAILED &&
        settings.script_url.empty()) {
      return std::optional<std::vector<ProxyChoice>>();
    }
    return NetworkError("proxy auto-configuration failed: " +
                        Win32ErrorText(code));
  }
  const std::string list = TakeText(info.lpszProxy);
  TakeText(info.lpszProxyBypass);
  if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || list.empty()) {
    return std::optional<std::vector<ProxyChoice>>({ProxyChoice()});
  }
  Result<std::vector<ProxyChoice>> choices = ParseProxyList(list);
  if (!choices.ok()) return std::move(choices).error();
  return std::optional<std::vector<ProxyChoice>>(std::move(choices).value());
}

// The script's answer for `url` (see AskScript), fetched without a proxy
// in a WinHTTP session opened for it and closed after.
Result<std::optional<std::vector<ProxyChoice>>> EvaluateScript(
    const UserSettings& settings, const ParsedUrl& url) {
  auto open = WinHttpFunction<decltype(WinHttpOpen)>("WinHttpOpen");
  if (!open.ok()) return std::move(open).error();
  auto close =
      WinHttpFunction<decltype(WinHttpCloseHandle)>("WinHttpCloseHandle");
  if (!close.ok()) return std::move(close).error();
  HINTERNET session =
      (*open)(L"Talvoro", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
              WINHTTP_NO_PROXY_BYPASS, 0);
  if (session == nullptr) {
    return NetworkError("proxy auto-configuration failed: " +
                        Win32ErrorText(GetLastError()));
  }
  auto answer = AskScript(session, settings, url);
  (*close)(session);
  return answer;
}

std::string Describe(const std::vector<ProxyChoice>& choices) {
  std::string text;
  for (const ProxyChoice& choice : choices) {
    text += (text.empty() ? "" : "; ") + DescribeProxyChoice(choice);
  }
  return text;
}

}  // namespace

Result<std::vector<ProxyChoice>> SystemProxyFor(const ParsedUrl& url,
                                                Reporter* reporter) {
  std::lock_guard<std::mutex> one_at_a_time(lookup_mutex);
  Result<UserSettings> settings = ReadUserSettings();
  if (!settings.ok()) return std::move(settings).error();
  bool script_failed = false;
  if (settings->auto_detect || !settings->script_url.empty()) {
    auto answer = EvaluateScript(*settings, url);
    if (answer.ok() && answer->has_value()) {
      ReportOnce(script_choice_printed, reporter,
                 kScriptChoicePrefix + Describe(**answer));
      return std::move(**answer);
    }
    script_failed = !answer.ok();
  }
  Result<ProxyChoice> fixed = FixedChoice(*settings, url.host);
  if (!fixed.ok()) return std::move(fixed).error();
  if (script_failed) {
    ReportOnce(script_fallback_printed, reporter,
               kScriptFallbackPrefix + DescribeProxyChoice(*fixed));
  }
  return std::vector<ProxyChoice>{std::move(fixed).value()};
}

}  // namespace talvoro
