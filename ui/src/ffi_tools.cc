#include "ffi_tools.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace talvoro::ui {

void Fatal(std::string_view message) {
  std::fwrite(message.data(), 1, message.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

Result<std::string> ToToolkitString(std::string_view text) {
  size_t zero = text.find('\0');
  if (zero != std::string_view::npos) {
    return InputError("string contains a zero byte at position " +
                      std::to_string(zero));
  }
  return std::string(text);
}

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence at s[0..n), or 0 if there is
// none. *consumed is set to the length of the maximal subpart that belongs
// to the (possibly broken) sequence, at least 1.
size_t DecodeOne(const unsigned char* s, size_t n, size_t* consumed) {
  unsigned char c = s[0];
  *consumed = 1;
  if (c < 0x80) return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (size_t i = 1; i < len; i++) {
    if (i >= n) return 0;
    unsigned char b = s[i];
    bool ok = i == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
    if (!ok) return 0;
    *consumed = i + 1;
  }
  return len;
}

}  // namespace

std::string FromToolkitString(const char* text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  size_t n = std::strlen(text);
  std::string out;
  out.reserve(n);
  size_t i = 0;
  while (i < n) {
    size_t consumed;
    size_t len = DecodeOne(s + i, n - i, &consumed);
    if (len != 0) {
      out.append(text + i, len);
      i += len;
    } else {
      out += kReplacement;
      i += consumed;
    }
  }
  return out;
}

AreaBridge::AreaBridge(std::unique_ptr<AreaHandler> handler)
    : handler_(std::move(handler)),
      record_{{&DrawThunk, &MouseEventThunk, &MouseCrossedThunk,
               &DragBrokenThunk, &KeyEventThunk},
              handler_.get()} {}

AreaHandler* AreaBridge::From(uiAreaHandler* ah) {
  static_assert(std::is_standard_layout_v<Record>);
  return reinterpret_cast<Record*>(ah)->handler;
}

void AreaBridge::DrawThunk(uiAreaHandler* ah, uiArea* a, uiAreaDrawParams* p) {
  AreaDrawParams params{p->Context, p->AreaWidth, p->AreaHeight, p->ClipX,
                        p->ClipY,   p->ClipWidth, p->ClipHeight};
  From(ah)->Draw(a, params);
}

void AreaBridge::MouseEventThunk(uiAreaHandler* ah, uiArea* a,
                                 uiAreaMouseEvent* e) {
  AreaMouseEvent event{e->X,  e->Y,     e->AreaWidth, e->AreaHeight, e->Down,
                       e->Up, e->Count, e->Modifiers, e->Held1To64};
  From(ah)->MouseEvent(a, event);
}

void AreaBridge::MouseCrossedThunk(uiAreaHandler* ah, uiArea* a, int left) {
  From(ah)->MouseCrossed(a, left != 0);
}

void AreaBridge::DragBrokenThunk(uiAreaHandler* ah, uiArea* a) {
  From(ah)->DragBroken(a);
}

int AreaBridge::KeyEventThunk(uiAreaHandler* ah, uiArea* a, uiAreaKeyEvent* e) {
  AreaKeyEvent event{e->Key, e->ExtKey, e->Modifier, e->Modifiers, e->Up != 0};
  return From(ah)->KeyEvent(a, event) ? 1 : 0;
}

}  // namespace talvoro::ui
