// The toolkit instance: one start per process, counted handles, teardown
// order, string conversion and the area callback bridge.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ui/gtk/uipriv.h"
#include "ui/src/area_bridge.h"
#include "ui/src/poison_mutex.h"
#include "ui/src/toolkit_string.h"
#include "ui/src/ui.h"
#include "ui_test_support.h"

namespace talvoro::ui {
namespace {

const auto* const kXvfb =
    ::testing::AddGlobalTestEnvironment(new talvoro::testing::XvfbEnvironment);

// Records the destruction of windows through their widgets' "destroy"
// signal, together with whether the toolkit still counted as running.
struct DestroyLog {
  struct Entry {
    std::string title;
    bool toolkit_initialized;
  };
  std::vector<Entry> entries;

  void Watch(uiWindow* window) {
    g_signal_connect(uiControl(window)->widget, "destroy",
                     G_CALLBACK(&DestroyLog::OnDestroy), this);
  }
  static void OnDestroy(GtkWidget* widget, gpointer data) {
    static_cast<DestroyLog*>(data)->entries.push_back(
        {gtk_window_get_title(GTK_WINDOW(widget)), ToolkitInitialized()});
  }
};

uiWindow* ShowWindow(const UI& ui, const std::string& title) {
  uiWindow* window = NewWindow(ui, title, 120, 80, false);
  uiControlShow(uiControl(window));
  return window;
}

TEST(ToolkitTest, SecondStartIsRefusedAndLeavesTheRunningToolkitAlone) {
  Result<UI> first = StartToolkit();
  ASSERT_TRUE(first.ok()) << first.error().message;
  Result<UI> second = StartToolkit();
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().message, kAlreadyInitialized);
  EXPECT_EQ(second.error().kind, ErrorKind::kStartup);

  EXPECT_TRUE(ToolkitInitialized());
  EXPECT_TRUE(first->alive());
  EXPECT_EQ(first->use_count(), 1);
  // The running toolkit still shows windows.
  talvoro::testing::XConnection x;
  ShowWindow(*first, "still running");
  EXPECT_TRUE(talvoro::testing::PumpUntil(
      [&] { return x.FindWindow("still running") != 0; }));
}

TEST(ToolkitTest, LastReleaseDestroysWindowsInOrderThenUninitialises) {
  talvoro::testing::XConnection x;
  DestroyLog log;
  {
    Result<UI> ui = StartToolkit();
    ASSERT_TRUE(ui.ok()) << ui.error().message;
    for (const char* title : {"first", "second", "third"})
      log.Watch(ShowWindow(*ui, title));
    ASSERT_TRUE(talvoro::testing::PumpUntil(
        [&] { return x.FindWindow("third") != 0; }));
    UI copy = *ui;
    EXPECT_EQ(ui->use_count(), 2);
  }
  ASSERT_EQ(log.entries.size(), 3u);
  EXPECT_EQ(log.entries[0].title, "first");
  EXPECT_EQ(log.entries[1].title, "second");
  EXPECT_EQ(log.entries[2].title, "third");
  for (const auto& entry : log.entries)
    EXPECT_TRUE(entry.toolkit_initialized) << entry.title;
  EXPECT_FALSE(ToolkitInitialized());
  EXPECT_EQ(x.FindWindow("first"), 0u);
  EXPECT_EQ(x.FindWindow("third"), 0u);

  // The toolkit starts again, and its windows work.
  Result<UI> again = StartToolkit();
  ASSERT_TRUE(again.ok()) << again.error().message;
  ShowWindow(*again, "after restart");
  EXPECT_TRUE(talvoro::testing::PumpUntil(
      [&] { return x.FindWindow("after restart") != 0; }));
}

TEST(ToolkitTest, ReleasingOneOfSeveralHandlesDoesNothing) {
  talvoro::testing::XConnection x;
  DestroyLog log;
  Result<UI> ui = StartToolkit();
  ASSERT_TRUE(ui.ok()) << ui.error().message;
  log.Watch(ShowWindow(*ui, "kept"));
  {
    UI other = *ui;
    UI third = other;
    EXPECT_EQ(ui->use_count(), 3);
  }
  EXPECT_EQ(ui->use_count(), 1);
  EXPECT_TRUE(ToolkitInitialized());
  EXPECT_TRUE(ui->alive());
  EXPECT_TRUE(log.entries.empty());
  EXPECT_TRUE(
      talvoro::testing::PumpUntil([&] { return x.FindWindow("kept") != 0; }));
}

TEST(ToolkitTest, FailedStartReportsTheMessageAndLeavesTheToolkitDown) {
  if (gdk_display_get_default() != nullptr)
    GTEST_SKIP() << "a display is already open in this process";
  std::string display = std::getenv("DISPLAY");
  // A display name that is not UTF-8 comes back in the toolkit's message.
  setenv("DISPLAY",
         ":\xff\xfe"
         "9\xe2\x82",
         1);
  Result<UI> ui = StartToolkit();
  setenv("DISPLAY", display.c_str(), 1);
  ASSERT_FALSE(ui.ok());
  EXPECT_EQ(ui.error().message,
            "toolkit initialisation failed: cannot open display: "
            ":\xEF\xBF\xBD\xEF\xBF\xBD"
            "9\xEF\xBF\xBD");
  EXPECT_FALSE(ToolkitInitialized());

  Result<UI> retry = StartToolkit();
  EXPECT_TRUE(retry.ok()) << retry.error().message;
}

TEST(ToolkitDeathTest, TeardownWithoutAToolkitIsFatal) {
  ASSERT_FALSE(ToolkitInitialized());
  EXPECT_DEATH(
      { UIToken token(std::make_shared<UIToken::AliveCell>()); },
      "^Attempted to uninit libUI in UIToken destructor when libUI was not "
      "initialized!\n");
}

TEST(ToolkitDeathTest, TitleWithAZeroByteIsRefusedBeforeTheToolkitSeesIt) {
  Result<UI> ui = StartToolkit();
  ASSERT_TRUE(ui.ok()) << ui.error().message;
  using namespace std::string_literals;
  EXPECT_DEATH(NewWindow(*ui, "Corva\0delin"s, 10, 10, false),
               "called `Result::unwrap\\(\\)` on an `Err` value: string "
               "contains a zero byte at position 5");
}

TEST(ToolkitDeathTest, ProgressValueAboveHundredIsACallersBug) {
  Result<UI> ui = StartToolkit();
  ASSERT_TRUE(ui.ok()) << ui.error().message;
  uiProgressBar* bar = uiNewProgressBar();
  EXPECT_DEATH(uiProgressBarSetValue(bar, 101),
               "^Value 101 is out of range for uiProgressBars\\.\n");
  uiProgressBarSetValue(bar, 100);
  uiControlDestroy(uiControl(bar));
}

TEST(StringConversionTest, ZeroByteIsRefused) {
  using namespace std::string_literals;
  Result<std::string> bad = ToToolkitString("ab\0c"s);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message, "string contains a zero byte at position 2");
  Result<std::string> good = ToToolkitString("Corvadelin \xE2\x9C\x93");
  ASSERT_TRUE(good.ok());
  EXPECT_STREQ(good->c_str(), "Corvadelin \xE2\x9C\x93");
}

TEST(StringConversionTest, EachIllFormedSequenceBecomesOneReplacement) {
  const std::string r = "\xEF\xBF\xBD";
  struct Case {
    const char* in;
    std::string out;
  } cases[] = {
      {"plain ascii", "plain ascii"},
      {"\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80 \xEF\xBF\xBD",
       "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80 \xEF\xBF\xBD"},
      {"\xFF", r},                          // never a lead byte
      {"\xC3(", r + "("},                   // lead without its tail
      {"\xC0\xAF", r + r},                  // overlong lead
      {"\xE0\x80\xAF", r + r + r},          // overlong 3-byte form
      {"\xED\xA0\x80", r + r + r},          // surrogate
      {"\xE2\x82", r},                      // cut 3-byte sequence
      {"a\xF0\x9F\x98", "a" + r},           // cut 4-byte sequence
      {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
      {"\xF0\x9F\x98\xF0\x9F\x98\x80", r + "\xF0\x9F\x98\x80"},
      {"\x80\xBF", r + r},  // lone continuations
  };
  for (const Case& c : cases) EXPECT_EQ(FromToolkitString(c.in), c.out) << c.in;
}

// Forwards every event into fields the test reads.
class RecordingHandler : public AreaHandler {
 public:
  void Draw(uiArea* area, const AreaDrawParams& params) override {
    draw_area = area;
    draw = params;
  }
  void MouseEvent(uiArea*, const AreaMouseEvent& event) override {
    mouse = event;
  }
  bool KeyEvent(uiArea*, const AreaKeyEvent& event) override {
    key = event;
    return false;
  }
  uiArea* draw_area = nullptr;
  AreaDrawParams draw{};
  AreaMouseEvent mouse{};
  AreaKeyEvent key{};
};

class DrawOnly : public AreaHandler {
 public:
  void Draw(uiArea*, const AreaDrawParams&) override { draws++; }
  int draws = 0;
};

TEST(AreaBridgeTest, ForwardsCopiesOfTheToolkitRecords) {
  auto owned = std::make_unique<RecordingHandler>();
  RecordingHandler* handler = owned.get();
  AreaBridge bridge(std::move(owned));
  uiAreaHandler* ah = bridge.toolkit_handler();
  auto* area = reinterpret_cast<uiArea*>(0x1000);
  auto* context = reinterpret_cast<uiDrawContext*>(0x2000);

  uiAreaDrawParams dp{context, 300, 165, 1, 2, 30, 40};
  ah->Draw(ah, area, &dp);
  dp.AreaWidth = 0;  // the program keeps its own copy
  EXPECT_EQ(handler->draw_area, area);
  EXPECT_EQ(handler->draw.context, context);
  EXPECT_EQ(handler->draw.area_width, 300);
  EXPECT_EQ(handler->draw.area_height, 165);
  EXPECT_EQ(handler->draw.clip_x, 1);
  EXPECT_EQ(handler->draw.clip_y, 2);
  EXPECT_EQ(handler->draw.clip_width, 30);
  EXPECT_EQ(handler->draw.clip_height, 40);

  uiAreaMouseEvent me{5, 6, 300, 165, 1, 0, 2, uiModifierShift, 0x5};
  ah->MouseEvent(ah, area, &me);
  EXPECT_EQ(handler->mouse.x, 5);
  EXPECT_EQ(handler->mouse.y, 6);
  EXPECT_EQ(handler->mouse.down, 1);
  EXPECT_EQ(handler->mouse.up, 0);
  EXPECT_EQ(handler->mouse.count, 2);
  EXPECT_EQ(handler->mouse.modifiers, uiModifierShift);
  EXPECT_EQ(handler->mouse.held_1_to_64, 0x5u);

  uiAreaKeyEvent ke{'q', 0, 0, uiModifierCtrl, 1};
  EXPECT_EQ(ah->KeyEvent(ah, area, &ke), 0);
  EXPECT_EQ(handler->key.key, 'q');
  EXPECT_EQ(handler->key.modifiers, uiModifierCtrl);
  EXPECT_TRUE(handler->key.up);
}

TEST(AreaBridgeTest, DefaultsIgnoreTheMouseAndHandleEveryKey) {
  auto owned = std::make_unique<DrawOnly>();
  DrawOnly* handler = owned.get();
  AreaBridge bridge(std::move(owned));
  uiAreaHandler* ah = bridge.toolkit_handler();
  uiAreaMouseEvent me{};
  ah->MouseEvent(ah, nullptr, &me);
  ah->MouseCrossed(ah, nullptr, 1);
  ah->DragBroken(ah, nullptr);
  uiAreaKeyEvent ke{'a', 0, 0, 0, 0};
  EXPECT_EQ(ah->KeyEvent(ah, nullptr, &ke), 1);
  EXPECT_EQ(handler->draws, 0);
}

TEST(ToolkitTest, StatusTextIsDestroyedWithItsArea) {
  Result<UI> ui = StartToolkit();
  ASSERT_TRUE(ui.ok()) << ui.error().message;
  uiArea* area = NewArea(*ui, std::make_unique<DrawOnly>());
  uiStatusText* status = uiNewStatusText(area, 12);
  uiStatusTextSetText(status, "Proxy \xE4\xBB\xA3\xE7\x90\x86");
  char* text = uiStatusTextText(status);
  EXPECT_STREQ(text, "Proxy \xE4\xBB\xA3\xE7\x90\x86");
  uiFreeText(text);
  bool destroyed = false;
  g_signal_connect_swapped(uiControl(status)->widget, "destroy",
                           G_CALLBACK(+[](bool* flag) { *flag = true; }),
                           &destroyed);
  uiWindow* window = NewWindow(*ui, "with status", 120, 80, false);
  uiWindowSetChild(window, uiControl(area));
  uiWindowSetChild(window, nullptr);
  uiControlDestroy(uiControl(area));
  EXPECT_TRUE(destroyed);
}

TEST(ToolkitTest, WaitingStepEndsOnAWakeFromAnotherThread) {
  Result<UI> ui = StartToolkit();
  ASSERT_TRUE(ui.ok()) << ui.error().message;
  uiMainSteps();
  for (int i = 0; i < 1000 && g_main_context_pending(nullptr); i++)
    uiMainStepTimeout(0);
  // Without a wake the step waits its whole time.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(uiMainStepTimeout(100), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(95));
  start = std::chrono::steady_clock::now();
  std::thread waker([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    uiWakeMain();
  });
  EXPECT_EQ(uiMainStepTimeout(20'000), 1);
  waker.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  // A quit ends a step before it waits.
  uiQuit();
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(uiMainStepTimeout(20'000), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  uiMainSteps();
}

TEST(PoisonMutexDeathTest, LockAfterAHolderThrewIsFatal) {
  PoisonMutex<std::mutex> mutex;
  try {
    PoisonMutex<std::mutex>::Guard guard(mutex);
    throw std::runtime_error("half-way");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(mutex.poisoned());
  EXPECT_DEATH(PoisonMutex<std::mutex>::Guard guard(mutex),
               "^called `Result::unwrap\\(\\)` on an `Err` value\n");
  // A holder that leaves normally does not poison.
  PoisonMutex<std::mutex> clean;
  { PoisonMutex<std::mutex>::Guard guard(clean); }
  EXPECT_FALSE(clean.poisoned());
}

}  // namespace
}  // namespace talvoro::ui
