// The driver process dies under a connected bridge: the run must end through its stop
// sequence and clean-up, at once, without spinning on a dead device.
#include "fault_support.h"

#include <csignal>
#include <gtest/gtest.h>

using namespace faults;

namespace {

void KillDriverWhileConnected(const std::string& type, const std::string& mode) {
  SCOPED_TRACE("type " + type + ", " + mode);
  LiveRun run(mode, {"--type", type});
  ASSERT_TRUE(run.ready) << run.why;
  // Traffic first, so that reads are pending in the driver when it dies.
  if (mode == "raw") {
    run.host->Send(Command(0x0C03, {}));
    ASSERT_FALSE(ReceiveUntil(*run.host, [](const Bytes& p) { return IsCommandComplete(p, 0x0C03); }).empty());
  }
  run.ftmd.child->Signal(SIGKILL);
  ASSERT_EQ(run.ftmd.child->WaitExit(), 128 + SIGKILL);
  EXPECT_EQ(run.bridge.child->WaitExit(Millis(10000)), 0);
  std::string out = run.bridge.child->Output();
  EXPECT_TRUE(run.bridge.child->HasInOrder(kCleanUpLines)) << out;
  // Each reader reports the vanished device once; none keeps failing reads at full speed.
  EXPECT_LT(run.bridge.child->Count("\n"), 200) << out;
  // The test host sees the connection end.
  EXPECT_TRUE(run.host->Receive(1, Millis(5000)).empty());
}

TEST(DriverGone, Type1KilledWhileConnectedEndsTheRun) {
  KillDriverWhileConnected("1", "raw");
  KillDriverWhileConnected("1", "diag");
}

TEST(DriverGone, Type2KilledWhileConnectedEndsTheRun) {
  KillDriverWhileConnected("2", "raw");
  KillDriverWhileConnected("2", "diag");
}

TEST(DriverGone, Type1KilledBeforeTheTestHostConnectsEndsWithOne) {
  e2e::Ftmd ftmd({"--type", "1"});
  e2e::Bridge bridge(ftmd.dir.path, "raw");
  ASSERT_TRUE(bridge.WaitListening());
  ftmd.child->Signal(SIGKILL);
  EXPECT_EQ(bridge.child->WaitExit(Millis(10000)), 1);
  EXPECT_TRUE(bridge.child->WaitForOutput("BTFTM : accept failed\n", Millis(1000)));
  EXPECT_EQ(bridge.child->Count("Cleaning all resources"), 0);
}

}  // namespace
