#include "ui_test_support.h"
// Xlib after gtest: its macros clash with gtest's names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <utility>

#include "ui/libui/ui.h"

namespace talvoro::testing {

void XvfbEnvironment::SetUp() {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  pid_t parent = getpid();
  pid_ = fork();
  ASSERT_GE(pid_, 0);
  if (pid_ == 0) {
    // Xvfb must not outlive a test program that crashed.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    int fd = dup(fds[1]);  // without O_CLOEXEC
    std::string fd_arg = std::to_string(fd);
    // Its output (the probing of busy displays) goes nowhere, and an Xvfb
    // that outlives this program holds no pipe of the test runner's.
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
    }
    execlp("Xvfb", "Xvfb", "-displayfd", fd_arg.c_str(), "-screen", "0",
           "1920x1080x24", "-nolisten", "tcp", "-noreset", nullptr);
    _exit(127);
  }
  close(fds[1]);
  // Xvfb writes its display number and a line feed once it accepts
  // connections.
  std::string number;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (number.empty() || number.back() != '\n') {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fds[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
      break;
    char c;
    if (read(fds[0], &c, 1) != 1) break;
    number += c;
  }
  close(fds[0]);
  ASSERT_TRUE(!number.empty() && number.back() == '\n') << "Xvfb did not start";
  number.pop_back();
  display_ = number;
  setenv("DISPLAY", (":" + number).c_str(), 1);
  // No accessibility bus and no other backend than X11.
  setenv("NO_AT_BRIDGE", "1", 1);
  setenv("GDK_BACKEND", "x11", 1);
}

namespace {

// Waits up to `timeout` for the child `pid` to end and reaps it. Returns
// false if it still runs.
bool WaitForChild(pid_t pid, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    pid_t r = waitpid(pid, nullptr, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

// Xvfb looks for a termination request just before it sleeps in poll(); a
// SIGTERM that lands between that look and the poll() is seen only when the
// server next wakes up, which without clients is its screen-saver timer, ten
// minutes later. An idle server sleeps in poll() and ends at once, so this
// is met by a test that ends right after the server started: SIGTERM then
// comes while the server is still on its way to its first poll(). A second
// SIGTERM interrupts that sleep; SIGKILL ends a server that still stays.
void XvfbEnvironment::TearDown() {
  if (pid_ <= 0) return;
  const pid_t pid = std::exchange(pid_, -1);
  kill(pid, SIGTERM);
  if (WaitForChild(pid, std::chrono::seconds(1))) return;
  std::fprintf(stderr, "Xvfb (pid %d) still runs 1 s after SIGTERM; again\n",
               static_cast<int>(pid));
  kill(pid, SIGTERM);
  if (WaitForChild(pid, std::chrono::seconds(4))) return;
  std::fprintf(stderr, "Xvfb (pid %d) did not end on SIGTERM; killing it\n",
               static_cast<int>(pid));
  kill(pid, SIGKILL);
  if (!WaitForChild(pid, std::chrono::seconds(5))) {
    ADD_FAILURE() << "Xvfb (pid " << pid << ") did not end on SIGKILL";
    return;
  }
  // What a killed server leaves behind, if the lock still names it.
  if (display_.empty()) return;
  const std::string lock = "/tmp/.X" + display_ + "-lock";
  std::ifstream in(lock);
  pid_t holder = -1;
  if (in >> holder && holder == pid) {
    unlink(("/tmp/.X11-unix/X" + display_).c_str());
    unlink(lock.c_str());
  }
}

bool PumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  uiMainSteps();
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return done();
    uiMainStepTimeout(5);
  }
  return true;
}

XConnection::XConnection() : display_(XOpenDisplay(nullptr)) {
  if (display_ == nullptr) {
    ADD_FAILURE() << "cannot open the test's X display";
    std::abort();
  }
}

XConnection::~XConnection() { XCloseDisplay(display_); }

XWindowId XConnection::FindWindow(const std::string& title) {
  Window root_return, parent;
  Window* children = nullptr;
  unsigned int n = 0;
  Window found = 0;
  XSync(display_, False);
  if (!XQueryTree(display_, DefaultRootWindow(display_), &root_return, &parent,
                  &children, &n))
    return 0;
  for (unsigned int i = 0; i < n && found == 0; i++) {
    char* name = nullptr;
    XWindowAttributes attributes;
    if (XFetchName(display_, children[i], &name) && name != nullptr) {
      if (title == name &&
          XGetWindowAttributes(display_, children[i], &attributes) &&
          attributes.map_state == IsViewable)
        found = children[i];
      XFree(name);
    }
  }
  if (children != nullptr) XFree(children);
  return found;
}

XConnection::Geometry XConnection::GetGeometry(XWindowId window) {
  XWindowAttributes a;
  XGetWindowAttributes(display_, window, &a);
  int x = 0, y = 0;
  Window child;
  XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x,
                        &y, &child);
  return {x, y, a.width, a.height};
}

std::vector<uint32_t> XConnection::Grab(int x, int y, int width, int height) {
  XSync(display_, False);
  XImage* image = XGetImage(display_, DefaultRootWindow(display_), x, y,
                            static_cast<unsigned>(width),
                            static_cast<unsigned>(height), AllPlanes, ZPixmap);
  std::vector<uint32_t> pixels;
  if (image == nullptr) return pixels;
  pixels.reserve(static_cast<size_t>(width) * height);
  for (int row = 0; row < height; row++)
    for (int col = 0; col < width; col++)
      pixels.push_back(XGetPixel(image, col, row) & 0xFFFFFF);
  XDestroyImage(image);
  return pixels;
}

void XConnection::RequestClose(XWindowId window) {
  XEvent event;
  std::memset(&event, 0, sizeof event);
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] =
      static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display_, window, False, NoEventMask, &event);
  XFlush(display_);
}

}  // namespace talvoro::testing
