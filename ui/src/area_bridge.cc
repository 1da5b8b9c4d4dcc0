#include "ui/src/area_bridge.h"

#include <type_traits>
#include <utility>

namespace talvoro::ui {

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
