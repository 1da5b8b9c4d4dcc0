// A mutex that notices when a holder left it by an exception.
#ifndef TALVORO_UI_SRC_POISON_MUTEX_H_
#define TALVORO_UI_SRC_POISON_MUTEX_H_

#include <exception>
#include <mutex>

#include "ui/src/fatal.h"

namespace talvoro::ui {

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

#endif  // TALVORO_UI_SRC_POISON_MUTEX_H_
