// The hang reporter of the test programs, linked into every GoogleTest
// executable (tests/CMakeLists.txt); nothing calls it. CTest ends a test
// that outlives its time-out with SIGKILL and shows only the output so far.
// The reporter acts shortly before that: it prints the stacks of the test
// process's threads (gdb) to standard error, then aborts the process, so
// that the report shows where the test hangs.
//
// CTest does not tell a test its time-out; the test's environment carries it
// in TALVORO_TEST_TIMEOUT (whole seconds, the value of the test's TIMEOUT
// property). Without that variable (a run by hand, the test listing of
// gtest_discover_tests) the reporter stays off.
//
// The reporter is a process of its own, forked while the test program starts
// and before any thread exists. So it acts even when every thread of the
// test is stuck (in exit handlers, for one), it adds no thread to the test
// (the death tests fork), and it ends with the test process: it is killed
// when its parent dies and leaves when the pipe the parent holds closes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace talvoro::testing {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr char kTimeoutVariable[] = "TALVORO_TEST_TIMEOUT";
// How long before CTest's time-out the reporter acts: a quarter of the
// time-out, at most this long. Half of it goes to gdb.
constexpr milliseconds kMaxMargin{15'000};
// Time a process gets to end after SIGTERM or SIGABRT before SIGKILL.
constexpr milliseconds kGrace{2'000};

// The whole number of seconds in `text`, or 0 if it is missing, malformed,
// not positive or over a day.
long ParseSeconds(const char* text) {
  if (text == nullptr || *text == '\0') return 0;
  char* end = nullptr;
  errno = 0;
  long seconds = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || seconds <= 0 || seconds > 86'400) return 0;
  return seconds;
}

int PollTimeout(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
}

// Waits up to `timeout` for every writer of the pipe `fd` to close it.
// Returns true then, and also when the pipe cannot be watched (the reporter
// then leaves the test alone); false when the time ran out.
bool WaitForClose(int fd, milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int n = poll(&p, 1, PollTimeout(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return true;
    if (n == 0) return false;
    char c;
    if (read(fd, &c, 1) <= 0) return true;  // nobody writes; only the end
  }
}

// Waits up to `timeout` for the child `pid` to end and reaps it. Returns
// false if it still runs.
bool WaitForChild(pid_t pid, milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    pid_t r = waitpid(pid, nullptr, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return true;
    if (Clock::now() >= deadline) return false;
    usleep(20'000);
  }
}

// Prints the stacks of every thread of `target` to standard error with gdb,
// which gets `limit`, then SIGTERM (gdb detaches when it quits) and SIGKILL.
void PrintStacks(pid_t target, milliseconds limit) {
  char pid_arg[24];
  std::snprintf(pid_arg, sizeof pid_arg, "%d", static_cast<int>(target));
  char gdb[] = "gdb", p[] = "-p", batch[] = "-batch", iex[] = "-iex",
       offline[] = "set debuginfod enabled off", ex[] = "-ex",
       bt[] = "thread apply all bt";
  char* argv[] = {gdb, iex, offline, p, pid_arg, batch, ex, bt, nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null",
                                   O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  pid_t pid;
  int spawned = posix_spawnp(&pid, "gdb", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    dprintf(STDERR_FILENO, "test watchdog: no stacks, gdb did not start: %s\n",
            std::strerror(spawned));
    return;
  }
  if (WaitForChild(pid, limit)) return;
  dprintf(STDERR_FILENO, "test watchdog: gdb took over %lld ms, stopped\n",
          static_cast<long long>(limit.count()));
  kill(pid, SIGTERM);
  if (WaitForChild(pid, kGrace)) return;
  kill(pid, SIGKILL);
  WaitForChild(pid, kGrace);
}

// The reporter process: waits until `target` (its parent) closes the pipe
// `fd` or `timeout` is near; in the second case prints the parent's stacks
// and aborts it. Never returns.
[[noreturn]] void Watch(pid_t target, int fd, long timeout_seconds) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != target) _exit(0);  // the parent ended before prctl
  const milliseconds timeout{timeout_seconds * 1000};
  const milliseconds margin = std::min(kMaxMargin, timeout / 4);
  if (WaitForClose(fd, timeout - margin)) _exit(0);
  if (getppid() != target) _exit(0);
  dprintf(STDERR_FILENO,
          "\ntest watchdog: %s (pid %d) still runs %lld s after its start, "
          "%lld s before its time-out of %ld s; the stacks of its threads:\n",
          program_invocation_short_name, static_cast<int>(target),
          static_cast<long long>((timeout - margin).count() / 1000),
          static_cast<long long>(margin.count() / 1000), timeout_seconds);
  PrintStacks(target, margin / 2);
  dprintf(STDERR_FILENO, "test watchdog: aborting pid %d\n",
          static_cast<int>(target));
  kill(target, SIGABRT);
  // The parent's death ends this process (PR_SET_PDEATHSIG); one that
  // survives SIGABRT gets SIGKILL.
  WaitForClose(fd, kGrace);
  if (getppid() == target) kill(target, SIGKILL);
  _exit(0);
}

// Starts the reporter process when the environment names a time-out.
// Failures to start it are reported and leave the test unwatched.
bool StartWatchdog() {
  const long seconds = ParseSeconds(std::getenv(kTimeoutVariable));
  if (seconds == 0) return false;
  // The write end stays open, unused, for the life of this process; the
  // programs the tests start do not inherit it.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    std::perror("test watchdog: pipe2");
    return false;
  }
  const pid_t target = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("test watchdog: fork");
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid == 0) {
    close(fds[1]);
    Watch(target, fds[0], seconds);
  }
  close(fds[0]);
  // Where Yama restricts ptrace to descendants, this lets the reporter's
  // gdb attach to its ancestor; elsewhere the call fails harmlessly.
  prctl(PR_SET_PTRACER, pid, 0, 0, 0);
  return true;
}

const bool kWatchdogStarted = StartWatchdog();

}  // namespace
}  // namespace talvoro::testing
