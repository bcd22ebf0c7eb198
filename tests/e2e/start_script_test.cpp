// scripts/start.sh against the tree already built: it serves one test host after another
// and, on Ctrl+C, stops the bridge and ftmd and leaves nothing behind.
#include "harness.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/wait.h>

using namespace e2e;

namespace {

const char kWaiting[] = "BTFTM : Waiting for incoming Ethernet connections... \n";

// The script in a process group of its own, as a terminal's foreground job: Ctrl+C is
// SIGINT to the whole group. A test that fails half way still stops it that way.
struct StartScript {
  StartScript(const TempDir& dir, int port)
      : child(std::make_unique<Child>(
            std::vector<std::string>{"/usr/bin/setsid", "bash", START_SCRIPT},
            std::map<std::string, std::string>{{"TARNEXIO_BUILD_DIR", TARNEXIO_BUILD_DIR},
                                               {"TARNEXIO_PORT", std::to_string(port)},
                                               {"TARNEXIO_DEVICE_DIR", dir.path + "/devices"},
                                               {"TMPDIR", dir.path}})) {}
  ~StartScript() {
    if (child->Running()) {
      Interrupt();
      if (child->WaitExit(Millis(10000)) == -1) kill(-child->pid(), SIGKILL);
    }
  }
  void Interrupt() { kill(-child->pid(), SIGINT); }
  std::unique_ptr<Child> child;
};

TEST(StartScript, ServesOneTestHostAfterAnotherUntilCtrlCAndLeavesNothing) {
  TempDir dir;
  const int port = FreePort();
  StartScript script(dir, port);
  for (int host = 1; host <= 2; ++host) {
    ASSERT_TRUE(script.child->WaitForCount(kWaiting, host, Millis(20000))) << script.child->Output();
    TestHost test(port);
    ASSERT_TRUE(test.connected());
    test.Send(Command(0x1009, {}));
    EXPECT_FALSE(ReceiveUntil(test, [](const Bytes& p) { return IsCommandComplete(p, 0x1009); }).empty());
  }
  ASSERT_TRUE(script.child->WaitForCount(kWaiting, 3, Millis(20000))) << script.child->Output();
  script.Interrupt();
  EXPECT_EQ(script.child->WaitExit(Millis(20000)), 0);
  EXPECT_EQ(script.child->Count("Ctrl+C stops"), 1);
  EXPECT_EQ(script.child->Count("starting the bridge again"), 2);
  // ftmd stopped (its socket gone), the device directory and ftmd's log file removed.
  EXPECT_TRUE(std::filesystem::is_empty(dir.path)) << script.child->Output();
}

}  // namespace
