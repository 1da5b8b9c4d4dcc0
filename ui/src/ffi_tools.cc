#include "ui/src/ffi_tools.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "base/utf8.h"

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

std::string FromToolkitString(const char* text) { return ToValidUtf8(text); }

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
