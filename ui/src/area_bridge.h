// The bridge from the toolkit's area callbacks (a C table of function
// pointers) to a C++ handler object.
#ifndef TALVORO_UI_SRC_AREA_BRIDGE_H_
#define TALVORO_UI_SRC_AREA_BRIDGE_H_

#include <cstdint>
#include <memory>

#include "ui/libui/ui.h"

namespace talvoro::ui {

// Copies of the toolkit's event records, valid beyond the callback.
struct AreaDrawParams {
  uiDrawContext* context;  // only valid during the draw callback
  double area_width;
  double area_height;
  double clip_x;
  double clip_y;
  double clip_width;
  double clip_height;
};

struct AreaMouseEvent {
  double x;
  double y;
  double area_width;
  double area_height;
  int down;
  int up;
  int count;
  uiModifiers modifiers;
  uint64_t held_1_to_64;
};

struct AreaKeyEvent {
  char key;
  uiExtKey ext_key;
  uiModifiers modifier;
  uiModifiers modifiers;
  bool up;
};

// What an area does with its events. Only Draw must be provided.
class AreaHandler {
 public:
  virtual ~AreaHandler() = default;
  virtual void Draw(uiArea* area, const AreaDrawParams& params) = 0;
  virtual void MouseEvent(uiArea*, const AreaMouseEvent&) {}
  virtual void MouseCrossed(uiArea*, bool /*left*/) {}
  virtual void DragBroken(uiArea*) {}
  // Returns true when the key was handled; by default every key is.
  virtual bool KeyEvent(uiArea*, const AreaKeyEvent&) { return true; }
};

// The record handed to uiNewArea: the toolkit's callback table, whose
// entries forward to `handler`. Must outlive the area it was given to.
class AreaBridge {
 public:
  explicit AreaBridge(std::unique_ptr<AreaHandler> handler);
  AreaBridge(const AreaBridge&) = delete;
  AreaBridge& operator=(const AreaBridge&) = delete;

  uiAreaHandler* toolkit_handler() { return &record_.callbacks; }
  AreaHandler* handler() const { return handler_.get(); }

 private:
  // Standard layout with the callback table first, so the table's address
  // converts back to the record.
  struct Record {
    uiAreaHandler callbacks;
    AreaHandler* handler;
  };

  static AreaHandler* From(uiAreaHandler* ah);
  static void DrawThunk(uiAreaHandler* ah, uiArea* a, uiAreaDrawParams* p);
  static void MouseEventThunk(uiAreaHandler* ah, uiArea* a,
                              uiAreaMouseEvent* e);
  static void MouseCrossedThunk(uiAreaHandler* ah, uiArea* a, int left);
  static void DragBrokenThunk(uiAreaHandler* ah, uiArea* a);
  static int KeyEventThunk(uiAreaHandler* ah, uiArea* a, uiAreaKeyEvent* e);

  std::unique_ptr<AreaHandler> handler_;
  Record record_;
};

}  // namespace talvoro::ui

#endif  // TALVORO_UI_SRC_AREA_BRIDGE_H_
