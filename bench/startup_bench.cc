// startup_bench [--runs N] [--timeout-ms T] [--title TITLE] --
//               COMMAND [ARG]...
//
// The time from starting COMMAND to its first top-level window being mapped
// on the X display in $DISPLAY, in milliseconds. Listens for MapNotify on
// the root window (no window manager: top-level windows are the root's
// children), starts the command with its standard output on /dev/null,
// waits for the first map, then ends the command with SIGTERM (SIGKILL
// after a second) and waits for it. Prints each run and the median of N
// runs (default 5). Exit code 1 if a run saw no window within the time-out.
//
// Without --title, the first window that is not override-redirect counts.
// With --title, the first window whose name (_NET_WM_NAME, else WM_NAME) is
// TITLE counts, override-redirect or not: an unmanaged Wine window is an
// override-redirect one, and Wine maps other windows of its own.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Ends `pid` (our child) and reaps it.
void EndChild(pid_t pid) {
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
    ::usleep(10000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

// A window may be gone by the time its name is asked for.
int IgnoreErrors(Display*, XErrorEvent*) { return 0; }

// The name of `window` (_NET_WM_NAME, else WM_NAME); empty when it has none
// or is gone.
std::string WindowName(Display* display, Window window) {
  const Atom properties[] = {XInternAtom(display, "_NET_WM_NAME", False),
                             XA_WM_NAME};
  for (Atom property : properties) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, property, 0, 256, False,
                           AnyPropertyType, &type, &format, &count, &after,
                           &data) == Success &&
        data != nullptr) {
      std::string name(reinterpret_cast<char*>(data), format == 8 ? count : 0);
      XFree(data);
      if (!name.empty()) return name;
    }
  }
  return {};
}

// One run: milliseconds to the first map that counts (see the top), or a
// negative value on time-out. `title` is null when any window counts.
double RunOnce(Display* display, char** command, int timeout_ms,
               const char* title) {
  Window root = DefaultRootWindow(display);
  XSelectInput(display, root, SubstructureNotifyMask);
  XSync(display, True);  // drop anything queued before the start

  const Clock::time_point start = Clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    int null_fd = ::open("/dev/null", O_WRONLY);
    if (null_fd >= 0) ::dup2(null_fd, 1);
    ::execvp(command[0], command);
    std::perror("startup_bench: exec");
    ::_exit(127);
  }
  if (pid < 0) return -1;

  double result = -1;
  const Clock::time_point deadline =
      start + std::chrono::milliseconds(timeout_ms);
  while (result < 0 && Clock::now() < deadline) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type != MapNotify || event.xmap.event != root) continue;
      const bool counts = title == nullptr
                              ? !event.xmap.override_redirect
                              : WindowName(display, event.xmap.window) == title;
      if (counts) {
        result = std::chrono::duration<double, std::milli>(Clock::now() - start)
                     .count();
        break;
      }
    }
    if (result >= 0) break;
    pollfd pfd{ConnectionNumber(display), POLLIN, 0};
    ::poll(&pfd, 1, 5);
  }
  EndChild(pid);
  XSelectInput(display, root, NoEventMask);
  XSync(display, True);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  int timeout_ms = 10000;
  const char* title = nullptr;
  int i = 1;
  for (; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--timeout-ms") == 0 && i + 1 < argc) {
      timeout_ms = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--title") == 0 && i + 1 < argc) {
      title = argv[++i];
    } else if (std::strcmp(argv[i], "--") == 0) {
      ++i;
      break;
    } else {
      break;
    }
  }
  if (i >= argc) {
    std::fprintf(stderr,
                 "usage: startup_bench [--runs N] [--timeout-ms T] "
                 "[--title TITLE] -- COMMAND [ARG]...\n");
    return 2;
  }
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "startup_bench: cannot open display\n");
    return 1;
  }
  XSetErrorHandler(IgnoreErrors);
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    double ms = RunOnce(display, argv + i, timeout_ms, title);
    if (ms < 0) {
      std::fprintf(stderr, "startup_bench: no window within %d ms\n",
                   timeout_ms);
      return 1;
    }
    std::printf("run %d: %.1f ms\n", run + 1, ms);
    times.push_back(ms);
    ::usleep(200000);
  }
  std::sort(times.begin(), times.end());
  std::printf("median: %.1f ms\n", times[times.size() / 2]);
  XCloseDisplay(display);
  return 0;
}
