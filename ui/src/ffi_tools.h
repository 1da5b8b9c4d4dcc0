// Helpers at the border between the program and the C toolkit: string
// conversion, the area callback bridge and a mutex that notices when a
// holder left it by an exception.
#ifndef TALVORO_UI_SRC_FFI_TOOLS_H_
#define TALVORO_UI_SRC_FFI_TOOLS_H_

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "download/error.h"
#include "ui/libui/ui.h"

namespace talvoro::ui {

// The text of every fatal error that stems from an error value the program
// cannot continue without (a failed toolkit start, a poisoned lock, a string
// the toolkit cannot take).
inline constexpr std::string_view kUnwrapFailed =
    "called `Result::unwrap()` on an `Err` value";

// Prints `message` and a line feed on stderr and aborts the process.
[[noreturn]] void Fatal(std::string_view message);

// Returns `text` as a string whose c_str() can be handed to the toolkit, or
// an error if `text` contains a zero byte (the toolkit would cut it there).
Result<std::string> ToToolkitString(std::string_view text);

// Copies a NUL-terminated string from the toolkit. Every ill-formed UTF-8
// sequence (each maximal invalid subpart) becomes U+FFFD (EF BF BD).
// `text` stays owned by the caller.
std::string FromToolkitString(const char* text);

// ---- Area callbacks ------------------------------------------------------

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

// ---- Locks ---------------------------------------------------------------

// A mutex that remembers when a holder released it while an exception was
// unwinding its stack: the data it guards may be half-updated, so every
// later lock ends the process with kUnwrapFailed.
template <typename Mutex>
class PoisonMutex {
 public:
  // Exclusive hold; fatal if the mutex is poisoned.
  class Guard {
   public:
    explicit Guard(PoisonMutex& m)
        : m_(m), lock_(m.mutex_), exceptions_(std::uncaught_exceptions()) {
      if (m_.poisoned_) Fatal(kUnwrapFailed);
    }
    ~Guard() {
      if (std::uncaught_exceptions() > exceptions_) m_.poisoned_ = true;
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    PoisonMutex& m_;
    std::unique_lock<Mutex> lock_;
    int exceptions_;
  };

  bool poisoned() {
    std::unique_lock<Mutex> lock(mutex_);
    return poisoned_;
  }

 private:
  Mutex mutex_;
  bool poisoned_ = false;
};

}  // namespace talvoro::ui

#endif  // TALVORO_UI_SRC_FFI_TOOLS_H_
