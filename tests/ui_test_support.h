// Shared pieces of the window tests: a private X server per test process,
// and small Xlib helpers that look at the screen the way a user would.
#ifndef TALVORO_TESTS_UI_TEST_SUPPORT_H_
#define TALVORO_TESTS_UI_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct _XDisplay;

namespace talvoro::testing {

// An X window id (Xlib's Window; Xlib's macros stay out of the tests).
using XWindowId = unsigned long;

// Starts Xvfb (1920x1080, 24 bits) on a free display for the whole test
// program, points DISPLAY at it, and ends it (by its PID) afterwards.
// Register with ::testing::AddGlobalTestEnvironment.
class XvfbEnvironment : public ::testing::Environment {
 public:
  // A fatal failure if Xvfb did not report its display within 20 s.
  void SetUp() override;
  // Ends the server within about 15 s: SIGTERM, again after 1 s, SIGKILL
  // after 5 s (then its lock and socket files are removed). A failure only
  // if it outlives SIGKILL too.
  void TearDown() override;

 private:
  pid_t pid_ = -1;
  std::string display_;  // the display number, once Xvfb reported it
};

// Starts stepping (uiMainSteps) and handles the toolkit's messages, waiting
// up to 5 ms at a time for them, until `done` returns true or `timeout`
// passes. Returns the last value of `done`.
bool PumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));

// A connection of the test's own to the X server in DISPLAY.
class XConnection {
 public:
  XConnection();
  ~XConnection();
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  _XDisplay* display() const { return display_; }

  // The viewable top-level window titled `title`, or 0.
  XWindowId FindWindow(const std::string& title);

  struct Geometry {
    int x;
    int y;
    int width;
    int height;
  };
  // Position on the screen and size of `window`.
  Geometry GetGeometry(XWindowId window);

  // The screen's pixels in the rectangle, rows top to bottom, 0xRRGGBB.
  std::vector<uint32_t> Grab(int x, int y, int width, int height);

  // Sends what a window manager sends when the user closes `window`: a
  // WM_PROTOCOLS client message carrying WM_DELETE_WINDOW.
  void RequestClose(XWindowId window);

 private:
  _XDisplay* display_;
};

}  // namespace talvoro::testing

#endif  // TALVORO_TESTS_UI_TEST_SUPPORT_H_
