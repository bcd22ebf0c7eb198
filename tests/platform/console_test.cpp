// Control handlers fed by signals, and print_message, in a helper child process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <set>
#include <sstream>
#include <string>

#include "child_process.h"

using tarnexio_test::ChildProcess;
using tarnexio_test::Millis;

namespace {

const int kTimeoutMs = 10000;

std::string RunCtrl(const std::string& secondResult, int sig, int* status) {
  ChildProcess child({PLATFORM_CHILD, "ctrl", secondResult});
  EXPECT_TRUE(child.WaitForOutput("ready\n", Millis(kTimeoutMs)));
  EXPECT_TRUE(child.Signal(sig));
  child.WaitForEnd(Millis(kTimeoutMs));
  *status = child.WaitStatus(Millis(kTimeoutMs));
  return child.Output();
}

}  // namespace

TEST(ConsoleCtrl, CtrlCAndBreakRunHandlersLastFirstOnTheirOwnThread) {
  int status = 0;
  std::string out = RunCtrl("0", SIGINT, &status);
  EXPECT_EQ(out, "ready\nsecond 0 own-thread\nfirst 0 own-thread\nmain continues\n");
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);

  out = RunCtrl("1", SIGQUIT, &status);
  EXPECT_EQ(out, "ready\nsecond 1 own-thread\nmain continues\n");
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ConsoleCtrl, CtrlCThatNoHandlerTakesEndsTheProcess) {
  ChildProcess child({PLATFORM_CHILD, "ctrl", "0", "alone"});
  ASSERT_TRUE(child.WaitForOutput("ready\n", Millis(kTimeoutMs)));
  ASSERT_TRUE(child.Signal(SIGINT));
  child.WaitForEnd(Millis(kTimeoutMs));
  int status = child.WaitStatus(Millis(kTimeoutMs));
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGINT);
  EXPECT_EQ(child.Output(), "ready\nsecond 0 own-thread\n");

  ChildProcess bare({PLATFORM_CHILD, "nohandler"});
  ASSERT_TRUE(bare.WaitForOutput("ready\n", Millis(kTimeoutMs)));
  ASSERT_TRUE(bare.Signal(SIGINT));
  status = bare.WaitStatus(Millis(kTimeoutMs));
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGINT);
}

TEST(ConsoleCtrl, CloseAndShutdownEndTheProcessAfterTheHandlerRan) {
  for (int sig : {SIGHUP, SIGTERM}) {
    int status = 0;
    std::string out = RunCtrl("1", sig, &status);
    std::string expected = sig == SIGHUP ? "second 2 own-thread\n" : "second 6 own-thread\n";
    EXPECT_EQ(out, "ready\n" + expected);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), sig);
  }
}

TEST(ConsoleCtrl, TerminateWithoutAHandlerStillEndsTheProcess) {
  ChildProcess child({PLATFORM_CHILD, "nohandler"});
  ASSERT_TRUE(child.WaitForOutput("ready\n", Millis(kTimeoutMs)));
  ASSERT_TRUE(child.Signal(SIGTERM));
  int status = child.WaitStatus(Millis(kTimeoutMs));
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(PrintMessage, ReachesAPipeAtOnceAsUtf8) {
  ChildProcess child({PLATFORM_CHILD, "print-wait"});
  // The child is still waiting for its input to end, so the line was not held back.
  ASSERT_TRUE(child.WaitForOutput("\n", Millis(kTimeoutMs)));
  EXPECT_EQ(child.Output(), "first line \xC3\xA9\xE4\xB8\xAD 42\n");
  child.CloseInput();
  EXPECT_TRUE(child.WaitForEnd(Millis(kTimeoutMs)));
  int status = child.WaitStatus(Millis(kTimeoutMs));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(child.Output(), "first line \xC3\xA9\xE4\xB8\xAD 42\nbye\n");
}

TEST(PrintMessage, LongLinesFromManyThreadsNeverInterleave) {
  const int threads = 6;
  const int lines = 40;
  ChildProcess child({PLATFORM_CHILD, "print", std::to_string(threads), std::to_string(lines)});
  ASSERT_TRUE(child.WaitForEnd(Millis(30000)));
  int status = child.WaitStatus(Millis(kTimeoutMs));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  std::set<std::pair<int, int>> seen;
  std::istringstream in(child.Output());
  std::string line;
  while (std::getline(in, line)) {
    int t = -1;
    int l = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "T%2d L%3d ", &t, &l), 2) << line.substr(0, 40);
    std::string expected = line.substr(0, 9);
    for (int i = 0; i < 3005; ++i) {
      char item[8];
      std::snprintf(item, sizeof(item), "%02X ", (i + t) & 0xFF);
      expected += item;
    }
    ASSERT_TRUE(line == expected) << "line of thread " << t << " number " << l << " is damaged";
    EXPECT_TRUE(seen.insert({t, l}).second);
  }
  EXPECT_EQ(seen.size(), size_t(threads * lines));
}
