#include "main/status_text.h"

#include <charconv>

namespace talvoro {

namespace {

bool Set(const char* value) { return value != nullptr && *value != '\0'; }

// The folder as the user knows it: without its last separator.
std::string_view Shown(std::string_view folder) {
  if (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\')) {
    folder.remove_suffix(1);
  }
  return folder;
}

// The bytes still missing on the disk, read from the text of the check
// before the download ("... N bytes needed, M bytes free"); 0 when the
// text has no numbers (a write that failed for lack of space).
uint64_t MissingBytes(const Error& error) {
  // The first two numbers of the text after ": ".
  uint64_t numbers[2] = {0, 0};
  const size_t at = error.message.find(": ");
  if (at == std::string::npos) return 0;
  const char* p = error.message.data() + at + 2;
  const char* const end = error.message.data() + error.message.size();
  for (uint64_t& n : numbers) {
    while (p != end && (*p < '0' || *p > '9')) ++p;
    const std::from_chars_result read = std::from_chars(p, end, n);
    if (read.ec != std::errc()) return 0;
    p = read.ptr;
  }
  return numbers[0] > numbers[1] ? numbers[0] - numbers[1] : 0;
}

// `bytes` in whole megabytes (2^20 bytes), rounded up.
std::string Megabytes(uint64_t bytes) {
  return std::to_string(bytes / (1 << 20) + (bytes % (1 << 20) != 0));
}

// What happened, before the countdown.
std::string WhatHappened(Language language, Trouble trouble, const Error* error,
                         std::string_view folder) {
  const bool zh = language == Language::kChinese;
  switch (trouble) {
    case Trouble::kUnreachable:
      return zh ? "无法连接到下载服务器" : "Can't reach the download server.";
    case Trouble::kServerBusy:
      return zh ? "下载服务器繁忙" : "The download server is busy.";
    case Trouble::kProxyRefused:
      return zh ? "代理服务器拒绝了连接"
                : "The proxy server refused the connection.";
    case Trouble::kProxySignIn:
      return zh ? "代理服务器拒绝了连接：需要登录"
                : "The proxy server refused the connection: it asks for a "
                  "sign-in.";
    case Trouble::kUntrusted:
      return zh ? "服务器证书不受信任，本机或网络中可能有程序在拦截安全连接"
                : "The server's certificate is not trusted: a program on "
                  "this computer or network may be intercepting secure "
                  "connections.";
    case Trouble::kNoSpace: {
      const uint64_t missing = error ? MissingBytes(*error) : 0;
      if (missing == 0) return zh ? "磁盘空间不足" : "Not enough disk space.";
      return zh ? "磁盘空间不足，还需要 " + Megabytes(missing) + " MB"
                : "Not enough disk space: " + Megabytes(missing) +
                      " MB more needed.";
    }
    case Trouble::kFolder:
      return zh ? "无法写入文件夹 " + std::string(Shown(folder)) +
                      "，请把程序移到可以写入的文件夹"
                : "Can't write to the folder " + std::string(Shown(folder)) +
                      ". Move the program to a folder you can write to.";
    case Trouble::kDamaged:
      return zh ? "下载的文件已损坏" : "The file arrived damaged.";
    case Trouble::kRejected:
      return zh ? "服务器上的文件未通过检查，正在等待服务器修复"
                : "The server's file failed its check. Waiting for the "
                  "server to fix it.";
    case Trouble::kFailed:
      return zh ? "下载失败" : "The download failed.";
  }
  return {};
}

}  // namespace

Language LanguageOfLocale(const char* lc_all, const char* lc_messages,
                          const char* lang) {
  for (const char* name : {lc_all, lc_messages, lang}) {
    if (Set(name)) {
      return std::string_view(name).starts_with("zh") ? Language::kChinese
                                                      : Language::kEnglish;
    }
  }
  return Language::kEnglish;
}

Trouble TroubleOf(Phase phase, const Error* error, std::string_view folder) {
  if (phase == Phase::kChecksumFailed) return Trouble::kDamaged;
  if (error == nullptr) {
    return phase == Phase::kPublicationRejected ? Trouble::kRejected
                                                : Trouble::kFailed;
  }
  switch (error->cause) {
    case Cause::kServerBusy:
      return Trouble::kServerBusy;
    case Cause::kProxyRefused:
      return Trouble::kProxyRefused;
    case Cause::kProxySignIn:
      return Trouble::kProxySignIn;
    case Cause::kUntrusted:
      return Trouble::kUntrusted;
    case Cause::kUnspecified:
      break;
  }
  switch (error->kind) {
    case ErrorKind::kNetwork:
      return Trouble::kUnreachable;
    case ErrorKind::kNoSpace:
      return Trouble::kNoSpace;
    case ErrorKind::kFile:
      return !folder.empty() && error->path.starts_with(folder)
                 ? Trouble::kFolder
                 : Trouble::kFailed;
    case ErrorKind::kRejected:
      return Trouble::kRejected;
    case ErrorKind::kProtocol:
    case ErrorKind::kInput:
    case ErrorKind::kStartup:
      return Trouble::kFailed;
  }
  return Trouble::kFailed;
}

std::string PauseLine(Language language, Phase phase, const Error* error,
                      std::string_view folder, int64_t seconds) {
  const Trouble trouble = TroubleOf(phase, error, folder);
  std::string line = WhatHappened(language, trouble, error, folder);
  const std::string n = std::to_string(seconds < 0 ? 0 : seconds);
  if (language == Language::kChinese) {
    line += trouble == Trouble::kDamaged    ? "，" + n + " 秒后重新下载"
            : trouble == Trouble::kRejected ? "，" + n + " 秒后再次检查"
                                            : "，" + n + " 秒后重试";
  } else {
    line += trouble == Trouble::kDamaged ? " Downloading again in " + n + " s."
            : trouble == Trouble::kRejected ? " Checking again in " + n + " s."
                                            : " Retrying in " + n + " s.";
  }
  return line;
}

std::string WaitingLine(Language language) {
  return language == Language::kChinese
             ? "正在等待下载服务器发送数据…"
             : "Waiting for the download server to send data…";
}

std::string FolderTooLongLine(Language language, std::string_view folder) {
  return language == Language::kChinese
             ? "程序所在文件夹的路径太长：" + std::string(Shown(folder)) +
                   "\n请把程序移到路径较短的文件夹，然后再运行。"
             : "The path of the program's folder is too long: " +
                   std::string(Shown(folder)) +
                   "\nMove the program to a folder with a shorter path and "
                   "run it again.";
}

}  // namespace talvoro
