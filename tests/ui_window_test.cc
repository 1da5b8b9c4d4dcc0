// The progress window as the X server shows it, its message loop, and the
// program's reaction to a close request.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <cstdlib>
#include <memory>
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

TEST_F(ProgressWindowTest, CloseRequestEndsTheLoopAndKeepsTheWindow) {
  talvoro::testing::XWindowId w = x_.FindWindow("Corvadelin");
  int ticks = 0;
  RunMessageLoop([&] {
    if (++ticks == 1) x_.RequestClose(w);
    if (ticks > 250) {  // about 5 s: the request was lost
      ADD_FAILURE() << "close request not seen";
      uiQuit();
    }
  });
  EXPECT_LT(ticks, 250);
  // The closing handler leaves the window to the program.
  EXPECT_EQ(x_.FindWindow("Corvadelin"), w);
}

TEST(MessageLoopTest, NoTickRunsAfterTheQuitIsSeen) {
  Toolkit();
  int ticks = 0;
  RunMessageLoop([&] {
    ticks++;
    uiQuit();
  });
  EXPECT_EQ(ticks, 1);
}

// A clock that plays a script of times, one per read, and asks the loop to
// end when the script is over.
class ScriptedClock {
 public:
  explicit ScriptedClock(std::vector<std::chrono::microseconds> times)
      : times_(std::move(times)) {}
  std::chrono::system_clock::time_point operator()() {
    if (next_ == times_.size()) {
      uiQuit();
      return At(times_.back());
    }
    return At(times_[next_++]);
  }
  size_t reads() const { return next_; }

 private:
  static std::chrono::system_clock::time_point At(std::chrono::microseconds t) {
    return std::chrono::system_clock::time_point(std::chrono::hours(1) + t);
  }
  std::vector<std::chrono::microseconds> times_;
  size_t next_ = 0;
};

std::vector<size_t> TicksAt(ScriptedClock& clock) {
  std::vector<size_t> ticks;  // clock reads done when each tick ran
  RunMessageLoop([&] { ticks.push_back(clock.reads()); },
                 [&] { return clock(); });
  return ticks;
}

TEST(MessageLoopTest, TicksOnceSixteenWholeMillisecondsHavePassed) {
  Toolkit();
  using us = std::chrono::microseconds;
  ScriptedClock clock({
      us(0),                   // start
      us(15'999),              // 15 whole ms: no tick
      us(16'000), us(16'500),  // tick; the interval restarts at 16.5
      us(32'000),              // 15.5 ms: no tick
      us(32'500), us(33'000),  // tick
  });
  EXPECT_EQ(TicksAt(clock), (std::vector<size_t>{3, 6}));
}

TEST(MessageLoopTest, ClockGoingBackRestartsTheInterval) {
  Toolkit();
  using us = std::chrono::microseconds;
  ScriptedClock clock({
      us(1'000'000),             // start
      us(1'010'000),             // 10 ms: no tick
      us(500'000),               // back by half a second: restart from here
      us(515'000),               // 15 ms: no tick
      us(516'000), us(516'000),  // tick
  });
  EXPECT_EQ(TicksAt(clock), (std::vector<size_t>{5}));
}

}  // namespace
}  // namespace talvoro::ui
