// The progress window on Win32 as other programs see it: the status text
// as a STATIC control that screen readers read, its font and band, the
// bar's error state, the waiting message loop and the error message box.
#include <gtest/gtest.h>
#include <windows.h>
// windows.h first: the common controls' header needs its types.
#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ui/src/png_image.h"
#include "ui/src/progress_window.h"
#include "ui/src/splash.h"
#include "ui/src/ui.h"

namespace talvoro::ui {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

const std::wstring kChinese = L"无法连接到下载服务器，12 秒后重试";
const std::wstring kEnglish =
    L"Can't reach the download server. Retrying in 12 s.";

// The toolkit of this test program, up until it ends.
const UI& Toolkit() {
  static const UI* ui = [] {
    Result<UI> started = StartToolkit();
    if (!started.ok()) {
      ADD_FAILURE() << started.error().message;
      std::abort();
    }
    return new UI(std::move(started).value());
  }();
  return *ui;
}

std::string Utf8(const std::wstring& text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr,
                              nullptr);
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr,
                      nullptr);
  out.resize(size_t(n - 1));
  return out;
}

HWND HandleOf(void* control) {
  return reinterpret_cast<HWND>(uiControlHandle(uiControl(control)));
}

// The window's first descendant of class `name`.
HWND ChildOfClass(HWND window, const wchar_t* name) {
  struct Search {
    const wchar_t* name;
    HWND found;
  } search{name, nullptr};
  EnumChildWindows(
      window,
      [](HWND hwnd, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        wchar_t got[32];
        if (GetClassNameW(hwnd, got, 32) > 0 && _wcsicmp(got, s->name) == 0) {
          s->found = hwnd;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::wstring TextOf(HWND hwnd) {
  wchar_t text[512];
  LRESULT n =
      SendMessageW(hwnd, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
  return std::wstring(text, size_t(n));
}

// The window's client pixels, as it paints them now.
std::vector<uint32_t> Shot(HWND window, int width, int height) {
  RedrawWindow(window, nullptr, nullptr,
               RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  HDC screen = GetDC(window);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // rows top to bottom
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap =
      CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  // The window's surface, its children's painting included.
  BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
  std::vector<uint32_t> pixels(static_cast<uint32_t*>(bits),
                               static_cast<uint32_t*>(bits) + width * height);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(window, screen);
  return pixels;
}

class WinProgressWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Result<RgbaImage> picture = DecodePng(SplashPng());
    ASSERT_TRUE(picture.ok());
    Result<ProgressWindow> shown = ShowProgressWindow(
        Toolkit(),
        std::make_shared<const RgbaImage>(std::move(picture).value()));
    ASSERT_TRUE(shown.ok()) << shown.error().message;
    window_ = std::move(shown).value();
    hwnd_ = HandleOf(window_.window);
    RECT r;
    GetClientRect(hwnd_, &r);
    width_ = r.right;
    height_ = r.bottom;
    uiMainSteps();
    HandleMessagesFor(milliseconds(200));
  }
  void TearDown() override {
    if (window_.window != nullptr) HideWindow(window_.window);
    HandleMessagesFor(milliseconds(50));
  }

  ProgressWindow window_{};
  HWND hwnd_ = nullptr;
  int width_ = 0;
  int height_ = 0;
};

TEST_F(WinProgressWindowTest, StatusTextIsAStaticControlOverThePicture) {
  HWND text = ChildOfClass(hwnd_, L"Static");
  ASSERT_NE(text, nullptr);
  EXPECT_FALSE(IsWindowVisible(text));
  EXPECT_EQ(StatusText(window_), "");
  HWND bar = ChildOfClass(hwnd_, PROGRESS_CLASSW);
  ASSERT_NE(bar, nullptr);
  const std::vector<uint32_t> plain = Shot(hwnd_, width_, height_);

  for (const std::wstring& line : {kEnglish, kChinese}) {
    SetStatusText(window_, Utf8(line));
    HandleMessagesFor(milliseconds(50));
    EXPECT_EQ(TextOf(text), line);
    EXPECT_EQ(StatusText(window_), Utf8(line));
    EXPECT_TRUE(IsWindowVisible(text));
    // Along the bottom of the picture, as wide as the window, just above
    // the bar.
    RECT band, under;
    GetWindowRect(text, &band);
    GetWindowRect(bar, &under);
    EXPECT_EQ(band.bottom, under.top);
    EXPECT_EQ(band.right - band.left, width_);
    EXPECT_GT(band.bottom - band.top, 12);
    EXPECT_LT(band.bottom - band.top, height_ / 3);
    // The font has every glyph of the line.
    HDC dc = GetDC(text);
    HGDIOBJ old = SelectObject(
        dc, reinterpret_cast<HGDIOBJ>(SendMessageW(text, WM_GETFONT, 0, 0)));
    std::vector<WORD> glyphs(line.size());
    GetGlyphIndicesW(dc, line.c_str(), int(line.size()), glyphs.data(),
                     GGI_MARK_NONEXISTING_GLYPHS);
    SelectObject(dc, old);
    ReleaseDC(text, dc);
    for (size_t i = 0; i < glyphs.size(); i++)
      EXPECT_NE(glyphs[i], 0xFFFF) << "no glyph for character " << i;
    // The band's rows differ from the plain window, the others do not.
    POINT top{band.left, band.top};
    ScreenToClient(hwnd_, &top);
    std::vector<uint32_t> now = Shot(hwnd_, width_, height_);
    for (int row = 0; row < height_; row++) {
      bool same = std::equal(plain.begin() + row * width_,
                             plain.begin() + (row + 1) * width_,
                             now.begin() + row * width_);
      const bool in_band =
          row >= top.y && row < top.y + (band.bottom - band.top);
      EXPECT_EQ(same, !in_band) << "row " << row;
    }
  }
  SetStatusText(window_, "");
  HandleMessagesFor(milliseconds(50));
  EXPECT_EQ(TextOf(text), L"");
  EXPECT_FALSE(IsWindowVisible(text));
  EXPECT_EQ(Shot(hwnd_, width_, height_), plain);
}

// The states that PBM_SETSTATE asked of the bar whose procedure is
// BarRecorder::Proc. Wine's progress bar takes the message but keeps its
// normal state (PBM_GETSTATE answers PBST_NORMAL), so the request itself
// is what can be checked there.
struct BarRecorder {
  static inline WNDPROC original = nullptr;
  static inline std::vector<WPARAM> states;
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wparam,
                               LPARAM lparam) {
    if (msg == PBM_SETSTATE) states.push_back(wparam);
    return CallWindowProcW(original, hwnd, msg, wparam, lparam);
  }
};

bool OnWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") !=
         nullptr;
}

TEST_F(WinProgressWindowTest, BarTakesAndLeavesItsErrorState) {
  HWND bar = ChildOfClass(hwnd_, PROGRESS_CLASSW);
  ASSERT_NE(bar, nullptr);
  BarRecorder::states.clear();
  BarRecorder::original = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
      bar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&BarRecorder::Proc)));
  EXPECT_EQ(SendMessageW(bar, PBM_GETSTATE, 0, 0), PBST_NORMAL);
  window_.bar->SetError(true);
  if (!OnWine()) {
    EXPECT_EQ(SendMessageW(bar, PBM_GETSTATE, 0, 0), PBST_ERROR);
  }
  window_.bar->SetError(false);
  EXPECT_EQ(SendMessageW(bar, PBM_GETSTATE, 0, 0), PBST_NORMAL);
  SetWindowLongPtrW(bar, GWLP_WNDPROC,
                    reinterpret_cast<LONG_PTR>(BarRecorder::original));
  EXPECT_EQ(BarRecorder::states,
            (std::vector<WPARAM>{PBST_ERROR, PBST_NORMAL}));
}

TEST_F(WinProgressWindowTest, CloseEndsAWaitForMessages) {
  PostMessageW(hwnd_, WM_CLOSE, 0, 0);
  const auto start = Clock::now();
  EXPECT_FALSE(HandleMessagesFor(std::chrono::seconds(10)));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(IsWindow(hwnd_));
}

TEST(WinMessageLoopTest, WakeFromAnotherThreadBringsTheTickForward) {
  Toolkit();
  std::vector<Clock::time_point> times;
  std::thread waker;
  RunMessageLoop([&] {
    times.push_back(Clock::now());
    if (times.size() == 1) {
      // A wake from another thread, 200 ms into a 20 s wait.
      waker = std::thread([] {
        std::this_thread::sleep_for(milliseconds(200));
        WakeMessageLoop();
      });
      return milliseconds(20'000);
    }
    if (times.size() == 2) {
      // A burst of posted wakes, over before this tick ends.
      std::thread([] {
        for (int i = 0; i < 1000; i++) WakeMessageLoop();
      }).join();
      return milliseconds(20'000);
    }
    if (times.size() == 3) return milliseconds(300);
    uiQuit();
    return milliseconds(0);
  });
  waker.join();
  ASSERT_EQ(times.size(), 4u);
  EXPECT_GE(times[1] - times[0], milliseconds(195));
  EXPECT_LT(times[1] - times[0], milliseconds(10'000));
  // The burst made one early tick, then the loop waited again.
  EXPECT_LT(times[2] - times[1], milliseconds(10'000));
  EXPECT_GE(times[3] - times[2], milliseconds(295));
}

TEST(WinErrorMessageTest, MessageBoxShowsTheTextUntilDismissed) {
  std::wstring seen;
  std::thread answerer([&] {
    for (int i = 0; i < 400; i++) {
      HWND box = FindWindowW(L"#32770", L"Corvadelin");
      if (box != nullptr) {
        wchar_t text[512] = {};
        GetDlgItemTextW(box, 0xFFFF, text, 512);  // the box's message
        seen = text;
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        return;
      }
      std::this_thread::sleep_for(milliseconds(25));
    }
  });
  ShowErrorMessage(Utf8(L"工作文件夹的路径太长。"));
  answerer.join();
  EXPECT_EQ(seen, L"工作文件夹的路径太长。");
}

}  // namespace
}  // namespace talvoro::ui
