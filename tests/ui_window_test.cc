// The progress window as the X server shows it, its message loop, and the
// program's reaction to a close request.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ui/gtk/uipriv.h"
#include "ui/src/png_image.h"
#include "ui/src/progress_window.h"
#include "ui/src/splash.h"
#include "ui/src/ui.h"
#include "ui_test_support.h"

namespace talvoro::ui {
namespace {

using std::chrono::milliseconds;
using talvoro::testing::PumpUntil;
using talvoro::testing::XConnection;

const auto* const kXvfb =
    ::testing::AddGlobalTestEnvironment(new talvoro::testing::XvfbEnvironment);

// Where the window must appear on the 1920x1080 test screen.
constexpr int kX = 810, kY = 455, kWidth = 300, kHeight = 169;
// Height of the picture area above the bar.
constexpr int kAreaHeight = 165;

// The toolkit of this test program; every progress window keeps it up
// until the program ends.
// The handle is never released: the X server of the tests ends before the
// program does, and a teardown then would find no display.
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

std::shared_ptr<const RgbaImage> Splash() {
  Result<RgbaImage> picture = DecodePng(SplashPng());
  EXPECT_TRUE(picture.ok());
  return std::make_shared<const RgbaImage>(std::move(picture).value());
}

// Shows a progress window and waits until the X server shows it. The
// window is hidden again when the fixture ends, so that the windows of
// earlier tests in the same program stay out of sight.
class ProgressWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    picture_ = Splash();
    Result<ProgressWindow> shown = ShowProgressWindow(Toolkit(), picture_);
    ASSERT_TRUE(shown.ok()) << shown.error().message;
    window_ = std::move(shown).value();
    ASSERT_TRUE(PumpUntil([&] { return x_.FindWindow("Corvadelin") != 0; }));
    // Drawn: the bar's trough has replaced the black of the empty screen.
    ASSERT_TRUE(
        PumpUntil([&] { return Bar()[size_t(kWidth) * 2 + 150] != 0; }));
  }
  void TearDown() override {
    if (window_.window != nullptr) HideWindow(window_.window);
    PumpUntil([&] { return x_.FindWindow("Corvadelin") == 0; });
  }

  // The bar's rows on screen.
  std::vector<uint32_t> Bar() {
    return x_.Grab(kX, kY + kAreaHeight, kWidth, kHeight - kAreaHeight);
  }
  // The bar's rows once `done` holds for them (or after 5 s).
  std::vector<uint32_t> BarWhen(
      const std::function<bool(const std::vector<uint32_t>&)>& done) {
    std::vector<uint32_t> bar;
    PumpUntil([&] { return done(bar = Bar()); });
    return bar;
  }

  XConnection x_;
  std::shared_ptr<const RgbaImage> picture_;
  ProgressWindow window_{};
};

TEST(PlaceWindowTest, CentresByTheFormulaHalvingTowardZero) {
  WindowPosition p = PlaceWindow({0, 0, 1920, 1080}, 300, 169);
  EXPECT_EQ(p.x, 810);
  EXPECT_EQ(p.y, 455);
  // A window larger than the screen: -201 / 2 is -100, not -101.
  p = PlaceWindow({0, 0, 100, 100}, 301, 301);
  EXPECT_EQ(p.x, -100);
  EXPECT_EQ(p.y, -100);
  // An output right of or above the desktop's origin centres the window on
  // that output, not on the origin's one.
  p = PlaceWindow({1920, 0, 3840, 1080}, 300, 169);
  EXPECT_EQ(p.x, 2730);
  EXPECT_EQ(p.y, 455);
  p = PlaceWindow({-1280, -1024, 0, 0}, 300, 169);
  EXPECT_EQ(p.x, -790);
  EXPECT_EQ(p.y, -597);
}

TEST_F(ProgressWindowTest, IsPlacedAtTheCentreWithThePictureSize) {
  talvoro::testing::XWindowId w = x_.FindWindow("Corvadelin");
  XConnection::Geometry g = x_.GetGeometry(w);
  EXPECT_EQ(g.x, kX);
  EXPECT_EQ(g.y, kY);
  EXPECT_EQ(g.width, kWidth);
  EXPECT_EQ(g.height, kHeight);
  GtkWindow* gtk = GTK_WINDOW(uiControl(window_.window)->widget);
  EXPECT_FALSE(gtk_window_get_decorated(gtk));
  EXPECT_FALSE(gtk_window_get_resizable(gtk));
}

TEST_F(ProgressWindowTest, ShowsThePicturePixelsAboveTheBar) {
  // Pixel (0, 0) of the picture is fully transparent (a rounded corner): the
  // screen shows the scene's colour next to it there, the first opaque pixel
  // of the row, not the window's background. Opaque pixels show as they are.
  ASSERT_EQ(picture_->pixels[3], 0);
  int first = 0;
  while (picture_->pixels[first * 4 + 3] != 255) first++;
  const uint8_t* scene = &picture_->pixels[first * 4];
  const uint32_t corner = uint32_t{scene[0]} << 16 | scene[1] << 8 | scene[2];

  // -1 where the picture is not opaque.
  auto expected = [&](int col, int row, int channel) {
    const uint8_t* p = &picture_->pixels[(size_t(row) * kWidth + col) * 4];
    return p[3] == 255 ? int{p[channel]} : -1;
  };
  size_t mismatches = 0;
  auto picture_matches = [&] {
    std::vector<uint32_t> shot = x_.Grab(kX, kY, kWidth, kAreaHeight);
    mismatches = (shot[0] & 0xFFFFFF) == corner ? 0 : 1;
    for (int row = 0; row < kAreaHeight; row++) {
      for (int col = 0; col < kWidth; col++) {
        uint32_t got = shot[size_t(row) * kWidth + col];
        for (int channel = 0; channel < 3; channel++) {
          int g = (got >> (16 - 8 * channel)) & 0xFF;
          const int want = expected(col, row, channel);
          if (want >= 0 && std::abs(g - want) > 2) {
            if (getenv("DBG") && mismatches < 20)
              fprintf(stderr, "(%d,%d) ch%d got %d want %d a=%d\n", col, row,
                      channel, g, expected(col, row, channel),
                      picture_->pixels[(size_t(row) * kWidth + col) * 4 + 3]);
            mismatches++;
            break;
          }
        }
      }
    }
    return mismatches == 0;
  };
  EXPECT_TRUE(PumpUntil(picture_matches))
      << mismatches << " of " << kWidth * kAreaHeight
      << " pixels differ from the picture";

  // Under the picture area the bar is drawn instead of the picture's last
  // rows: its trough differs from the dark bottom of the picture.
  std::vector<uint32_t> bar = Bar();
  int differing = 0;
  for (int col = 0; col < kWidth; col++) {
    uint32_t got = bar[size_t(kWidth) + col];  // second bar row
    int row = kAreaHeight + 1;
    uint32_t pic = uint32_t(expected(col, row, 0)) << 16 |
                   uint32_t(expected(col, row, 1)) << 8 | expected(col, row, 2);
    if (got != pic) differing++;
  }
  EXPECT_GT(differing, kWidth * 9 / 10);
}

TEST_F(ProgressWindowTest, BarFollowsThePercentAndShowsAboveHundredAsFull) {
  const size_t left = size_t(kWidth) * 2 + 20;  // third of the 4 bar rows
  const size_t right = size_t(kWidth) * 2 + 280;
  // Empty: one colour from end to end.
  std::vector<uint32_t> empty =
      BarWhen([&](auto& bar) { return bar[left] == bar[right]; });
  window_.bar->SetPercent(100);
  std::vector<uint32_t> full =
      BarWhen([&](auto& bar) { return bar[right] != empty[right]; });
  EXPECT_NE(full[left], empty[left]);
  EXPECT_EQ(full[left], full[right]);

  window_.bar->SetPercent(50);
  std::vector<uint32_t> half =
      BarWhen([&](auto& bar) { return bar[right] == empty[right]; });
  EXPECT_EQ(half[left], full[left]);
  EXPECT_EQ(half[right], empty[right]);

  window_.bar->SetPercent(250);
  EXPECT_EQ(BarWhen([&](auto& bar) { return bar == full; }), full);
  window_.bar->With([](uiProgressBar* bar) {
    EXPECT_DOUBLE_EQ(
        gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(uiControl(bar)->widget)),
        1.0);
  });
}

// The window's rows that differ between two shots of it.
std::vector<int> DifferingRows(const std::vector<uint32_t>& a,
                               const std::vector<uint32_t>& b) {
  std::vector<int> rows;
  for (int row = 0; row < kHeight; row++) {
    for (int col = 0; col < kWidth; col++) {
      if (a[size_t(row) * kWidth + col] != b[size_t(row) * kWidth + col]) {
        rows.push_back(row);
        break;
      }
    }
  }
  return rows;
}

TEST_F(ProgressWindowTest, StatusTextShowsOnABandAboveTheBarAndGoesAway) {
  auto shot = [&] { return x_.Grab(kX, kY, kWidth, kHeight); };
  std::vector<uint32_t> plain;
  // Settled: two shots in a row alike.
  ASSERT_TRUE(PumpUntil([&] {
    std::vector<uint32_t> before = plain;
    plain = shot();
    return plain == before;
  }));
  EXPECT_EQ(StatusText(window_), "");
  GtkWidget* label = uiControl(window_.status)->widget;
  EXPECT_FALSE(gtk_widget_get_visible(label));

  for (const char* text : {"Can't reach the download server. Retrying in 12 s.",
                           "无法连接到下载服务器，12 秒后重试"}) {
    SCOPED_TRACE(text);
    SetStatusText(window_, text);
    // Read back through the toolkit: the label's own text.
    EXPECT_EQ(StatusText(window_), text);
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(label)), text);
    std::vector<int> rows;
    PumpUntil([&] { return !(rows = DifferingRows(plain, shot())).empty(); });
    ASSERT_FALSE(rows.empty());
    // One band of rows, ending just above the bar, one line high (12 px
    // font and its padding); the picture above it and the bar unchanged.
    EXPECT_EQ(rows.back(), kAreaHeight - 1);
    EXPECT_EQ(rows.back() - rows.front() + 1, int(rows.size()));
    EXPECT_GE(rows.size(), 14u);
    EXPECT_LE(rows.size(), 24u);
    // Every glyph found in a font: Chinese draws with the CJK font.
    EXPECT_EQ(pango_layout_get_unknown_glyphs_count(
                  gtk_label_get_layout(GTK_LABEL(label))),
              0);
    // Dark band, light text: the band's darkest and lightest pixels.
    std::vector<uint32_t> now = shot();
    int darkest = 255, lightest = 0;
    for (int row = rows.front(); row <= rows.back(); row++) {
      for (int col = 0; col < kWidth; col++) {
        int g = (now[size_t(row) * kWidth + col] >> 8) & 0xFF;
        darkest = std::min(darkest, g);
        lightest = std::max(lightest, g);
      }
    }
    EXPECT_LT(darkest, 60);
    EXPECT_GT(lightest, 200);

    SetStatusText(window_, "");
    EXPECT_EQ(StatusText(window_), "");
    EXPECT_TRUE(PumpUntil([&] { return shot() == plain; }))
        << "the window without text differs from the plain window";
    EXPECT_FALSE(gtk_widget_get_visible(label));
  }
}

TEST_F(ProgressWindowTest, LongStatusTextWrapsInsideTheWindow) {
  const std::string text =
      "The folder /home/someone/Downloads/a rather long folder name/inner "
      "cannot be written. Move the program to a folder you can write to.";
  SetStatusText(window_, text);
  GtkWidget* label = uiControl(window_.status)->widget;
  ASSERT_TRUE(PumpUntil([&] {
    return gtk_widget_get_allocated_height(label) > 1 &&
           gtk_widget_get_allocated_width(label) == kWidth;
  }));
  EXPECT_GT(pango_layout_get_line_count(gtk_label_get_layout(GTK_LABEL(label))),
            1);
  EXPECT_LT(gtk_widget_get_allocated_height(label), kAreaHeight);
  SetStatusText(window_, "");
}

TEST_F(ProgressWindowTest, BarTakesAndLeavesItsErrorState) {
  GtkStyleContext* style = window_.bar->With([](uiProgressBar* bar) {
    return gtk_widget_get_style_context(uiControl(bar)->widget);
  });
  EXPECT_FALSE(gtk_style_context_has_class(style, "error"));
  window_.bar->SetError(true);
  EXPECT_TRUE(gtk_style_context_has_class(style, "error"));
  window_.bar->SetError(false);
  EXPECT_FALSE(gtk_style_context_has_class(style, "error"));
}

// Answers the first message dialog titled "Corvadelin" that shows up,
// keeping its text.
struct DialogAnswerer {
  std::string text;
  bool seen = false;
  int looks = 0;

  static gboolean Look(gpointer data) {
    auto* self = static_cast<DialogAnswerer*>(data);
    GList* windows = gtk_window_list_toplevels();
    for (GList* w = windows; w != nullptr; w = w->next) {
      if (!GTK_IS_MESSAGE_DIALOG(w->data) ||
          !gtk_widget_get_mapped(GTK_WIDGET(w->data)))
        continue;
      const char* title = gtk_window_get_title(GTK_WINDOW(w->data));
      if (title == nullptr || std::string(title) != "Corvadelin") continue;
      gchar* text = nullptr;
      g_object_get(w->data, "text", &text, nullptr);
      self->text = text != nullptr ? text : "";
      g_free(text);
      self->seen = true;
      gtk_dialog_response(GTK_DIALOG(w->data), GTK_RESPONSE_CLOSE);
    }
    g_list_free(windows);
    return self->seen || ++self->looks > 200 ? G_SOURCE_REMOVE
                                             : G_SOURCE_CONTINUE;
  }
};

TEST(ErrorMessageTest, ShowsTheTextAndReturnsWhenDismissed) {
  Toolkit();
  DialogAnswerer answerer;
  g_timeout_add(25, &DialogAnswerer::Look, &answerer);
  const std::string text =
      "工作文件夹的路径太长。 The working folder's path is too long.";
  ShowErrorMessage(text);
  EXPECT_TRUE(answerer.seen);
  EXPECT_EQ(answerer.text, text);
}

TEST_F(ProgressWindowTest, CloseRequestEndsTheLoopAndKeepsTheWindow) {
  talvoro::testing::XWindowId w = x_.FindWindow("Corvadelin");
  int ticks = 0;
  RunMessageLoop([&] {
    if (++ticks == 1) x_.RequestClose(w);
    if (ticks > 150) {  // about 5 s: the request was lost
      ADD_FAILURE() << "close request not seen";
      uiQuit();
    }
    return kTickInterval;
  });
  EXPECT_LT(ticks, 150);
  // The closing handler leaves the window to the program.
  EXPECT_EQ(x_.FindWindow("Corvadelin"), w);
}

TEST_F(ProgressWindowTest, CloseRequestEndsAWaitForMessages) {
  // Without a close the wait lasts its whole time.
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(HandleMessagesFor(milliseconds(150)));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(150));

  uiMainSteps();
  x_.RequestClose(x_.FindWindow("Corvadelin"));
  start = std::chrono::steady_clock::now();
  EXPECT_FALSE(HandleMessagesFor(std::chrono::seconds(10)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_NE(x_.FindWindow("Corvadelin"), 0u);
}

TEST(MessageLoopTest, NoTickRunsAfterTheQuitIsSeen) {
  Toolkit();
  int ticks = 0;
  RunMessageLoop([&] {
    ticks++;
    uiQuit();
    return milliseconds(0);
  });
  EXPECT_EQ(ticks, 1);
}

using Clock = std::chrono::steady_clock;

// Runs the loop; `tick(n)` is the n-th tick (from 0) and returns the wait
// before the next, or a negative value to end the loop. Returns the times
// at which the ticks began.
std::vector<Clock::time_point> TickTimes(
    const std::function<milliseconds(size_t)>& tick) {
  std::vector<Clock::time_point> times;
  RunMessageLoop([&] {
    times.push_back(Clock::now());
    milliseconds wait = tick(times.size() - 1);
    if (wait.count() < 0 || times.size() > 200) uiQuit();
    return wait;
  });
  return times;
}

TEST(MessageLoopTest, TicksAtTheWaitTheTickAskedForAndNotBefore) {
  Toolkit();
  const std::vector<milliseconds> waits = {milliseconds(300), milliseconds(120),
                                           milliseconds(0), milliseconds(-1)};
  std::vector<Clock::time_point> times =
      TickTimes([&](size_t n) { return waits[n]; });
  ASSERT_EQ(times.size(), 4u);
  EXPECT_GE(times[1] - times[0], milliseconds(300));
  EXPECT_LT(times[1] - times[0], milliseconds(1300));
  EXPECT_GE(times[2] - times[1], milliseconds(120));
  EXPECT_LT(times[2] - times[1], milliseconds(1120));
  // A tick that asks for no wait still gets the shortest interval.
  EXPECT_GE(times[3] - times[2], kTickInterval);
}

TEST(MessageLoopTest, WakeBringsTheNextTickForwardOncePerBurst) {
  Toolkit();
  std::thread waker;
  std::vector<Clock::time_point> times = TickTimes([&](size_t n) {
    if (n == 0) {
      // A wake from another thread, 200 ms into a 20 s wait.
      waker = std::thread([] {
        std::this_thread::sleep_for(milliseconds(200));
        WakeMessageLoop();
      });
      return milliseconds(20'000);
    }
    if (n == 1) {
      // A burst of wakes from another thread, over before this tick ends
      // (a burst that went on past the next tick would rightly wake the
      // loop again).
      std::thread([] {
        for (int i = 0; i < 1000; i++) WakeMessageLoop();
      }).join();
      return milliseconds(20'000);
    }
    if (n == 2) return milliseconds(400);
    return milliseconds(-1);
  });
  waker.join();
  ASSERT_EQ(times.size(), 4u);
  EXPECT_GE(times[1] - times[0], milliseconds(200));
  EXPECT_LT(times[1] - times[0], milliseconds(10'000));
  // The burst made one early tick, then the loop waited again.
  EXPECT_LT(times[2] - times[1], milliseconds(10'000));
  EXPECT_GE(times[3] - times[2], milliseconds(400));
}

TEST(MessageLoopTest, WakeSoonAfterATickWaitsForTheShortestInterval) {
  Toolkit();
  std::vector<Clock::time_point> times = TickTimes([&](size_t n) {
    if (n == 0) {
      WakeMessageLoop();
      return milliseconds(20'000);
    }
    return milliseconds(-1);
  });
  ASSERT_EQ(times.size(), 2u);
  EXPECT_GE(times[1] - times[0], kTickInterval);
  EXPECT_LT(times[1] - times[0], milliseconds(10'000));
}

TEST(MessageLoopTest, WaitsWithoutWakingUp) {
  Toolkit();
  // 1.5 s of an idle loop: a loop that polled would switch hundreds of
  // times; a waiting one only for its two ticks and stray messages.
  rusage before{}, after{};
  getrusage(RUSAGE_THREAD, &before);
  std::vector<Clock::time_point> times = TickTimes(
      [&](size_t n) { return n == 0 ? milliseconds(1500) : milliseconds(-1); });
  getrusage(RUSAGE_THREAD, &after);
  ASSERT_EQ(times.size(), 2u);
  const long switches =
      (after.ru_nvcsw - before.ru_nvcsw) + (after.ru_nivcsw - before.ru_nivcsw);
  EXPECT_LT(switches, 30) << "context switches in 1.5 s";
}

}  // namespace
}  // namespace talvoro::ui
