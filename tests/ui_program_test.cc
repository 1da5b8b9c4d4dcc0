// The program as a user runs it: its window on the screen and its end when
// the window is closed.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "ui_test_support.h"

extern char** environ;

namespace talvoro::ui {
namespace {

using std::chrono::milliseconds;
using talvoro::testing::XConnection;

const auto* const kXvfb =
    ::testing::AddGlobalTestEnvironment(new talvoro::testing::XvfbEnvironment);

// Runs the program in a folder of its own, so that whatever it writes
// there stays out of the way.
class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/talvoro-ui-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir_.c_str());
    char* argv[] = {const_cast<char*>(TALVORO_BOOTSTRAP), nullptr};
    int spawned =
        posix_spawn(&pid_, TALVORO_BOOTSTRAP, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(spawned, 0);
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    std::filesystem::remove_all(dir_);
  }

  // Waits up to `timeout` for the program to end; returns its wait status,
  // or -1 if it is still running.
  int WaitForExit(milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return status;
      }
      std::this_thread::sleep_for(milliseconds(20));
    }
    return -1;
  }

  std::filesystem::path dir_;
  pid_t pid_ = -1;
};

TEST_F(ProgramTest, ShowsItsWindowCentredAndEndsWithZeroWhenClosed) {
  XConnection x;
  talvoro::testing::XWindowId w = 0;
  for (int i = 0; i < 400 && w == 0; i++) {  // up to 20 s (sanitizers)
    std::this_thread::sleep_for(milliseconds(50));
    w = x.FindWindow("Corvadelin");
  }
  ASSERT_NE(w, 0u) << "the program showed no window";
  XConnection::Geometry g = x.GetGeometry(w);
  EXPECT_EQ(g.x, 810);
  EXPECT_EQ(g.y, 455);
  EXPECT_EQ(g.width, 300);
  EXPECT_EQ(g.height, 169);

  x.RequestClose(w);
  // A failed download attempt may hold the loop for its 3 s pause.
  int status = WaitForExit(milliseconds(10'000));
  ASSERT_NE(status, -1) << "the program did not end after the close request";
  ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace talvoro::ui
