#include "ui/win32/taskbar_win.h"

namespace talvoro::ui {
namespace {

class NoTaskbar : public Taskbar {
 public:
  void Show(TaskbarState, int) override {}
};

class ListTaskbar : public Taskbar {
 public:
  ListTaskbar(ITaskbarList3* list, HWND window) : list_(list), window_(window) {
    list_->AddRef();
  }
  ~ListTaskbar() override { list_->Release(); }
  ListTaskbar(const ListTaskbar&) = delete;
  ListTaskbar& operator=(const ListTaskbar&) = delete;

  void Show(TaskbarState state, int percent) override {
    if (state != state_ || !state_sent_) {
      const TBPFLAG flag = state == TaskbarState::kIndeterminate
                               ? TBPF_INDETERMINATE
                           : state == TaskbarState::kError ? TBPF_ERROR
                                                           : TBPF_NORMAL;
      state_ = state;
      state_sent_ = SUCCEEDED(list_->SetProgressState(window_, flag));
      value_sent_ = false;  // a new state shows its value anew
    }
    if (state == TaskbarState::kIndeterminate) return;
    if (percent != percent_ || !value_sent_) {
      percent_ = percent;
      value_sent_ = SUCCEEDED(list_->SetProgressValue(
          window_, static_cast<ULONGLONG>(percent), 100));
    }
  }

 private:
  ITaskbarList3* list_;
  HWND window_;
  TaskbarState state_ = TaskbarState::kNormal;
  int percent_ = -1;
  bool state_sent_ = false;
  bool value_sent_ = false;
};

}  // namespace

std::unique_ptr<Taskbar> TaskbarThrough(ITaskbarList3* list, HWND window) {
  return std::make_unique<ListTaskbar>(list, window);
}

std::unique_ptr<Taskbar> TaskbarOf(uiWindow* window) {
  // The shell's object, through COM (which loads it by its registered path
  // in System32); COM stays initialised on this thread for the process.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  ITaskbarList3* list = nullptr;
  if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                              __uuidof(ITaskbarList3),
                              reinterpret_cast<void**>(&list)))) {
    return std::make_unique<NoTaskbar>();
  }
  std::unique_ptr<Taskbar> taskbar;
  if (SUCCEEDED(list->HrInit())) {
    taskbar = TaskbarThrough(
        list, reinterpret_cast<HWND>(uiControlHandle(uiControl(window))));
  } else {
    taskbar = std::make_unique<NoTaskbar>();
  }
  list->Release();
  return taskbar;
}

}  // namespace talvoro::ui
