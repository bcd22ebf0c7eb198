// The driver process dies under a connected bridge: the run must end through its stop
// sequence and clean-up, at once, without spinning on a dead device.
#include "device_double.h"
#include "fault_support.h"
#include "wire/ftm_contract.h"

#include <csignal>
#include <gtest/gtest.h>
#include <memory>

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

// The driver ends the run before any test host comes: every reader's first read finds
// the device gone (type 1, FTM mode on), or the controller in use and then the device
// gone (type 2, as for a second client of a held controller). Main may be anywhere in
// start-up when the stop lands; it never waits for a test host, and ends with 1: after
// the clean-up when it had not listened yet, through a failed accept when it had.
TEST(DriverGone, GoneBeforeTheTestHostComesEndsWithOneWhereverMainIs) {
  using tarnexio_test::DeviceAction;
  using tarnexio_test::DeviceRequest;
  const struct {
    const char* device;
    bool inUseFirst;
  } types[] = {{wire::kType1DeviceName, false}, {wire::kType2DeviceName, true}};
  for (const auto& type : types) {
    for (int round = 0; round < 5; ++round) {
      SCOPED_TRACE(std::string(type.device) + " round " + std::to_string(round));
      e2e::TempDir dir;
      tarnexio_test::DeviceDouble device(dir.path, type.device);
      auto reads = std::make_shared<int>(0);  // the script runs on the double's one thread
      const bool inUseFirst = type.inUseFirst;
      device.SetScript([reads, inUseFirst](const DeviceRequest& r) {
        if (r.code == wire::IOCTL_BTFTM_ENABLE_FTM) return DeviceAction::Pending();
        if (r.code != wire::IOCTL_BTFTM_READ_EVENT && r.code != wire::IOCTL_BTFTM_READ_ACL && r.code != wire::IOCTL_BTFTM_READ_SCO)
          return DeviceAction::Complete(0);
        if (inUseFirst && (*reads)++ == 0) return DeviceAction::Complete(wire::kStatusInUse);
        return DeviceAction::CloseConnection();
      });
      e2e::Bridge bridge(dir.path, "raw");
      ASSERT_EQ(bridge.child->WaitExit(), 1) << bridge.child->Output();
      const std::string out = bridge.child->Output();
      EXPECT_NE(out.find("0x48F"), std::string::npos) << out;  // device not connected, on one request or another
      EXPECT_EQ(out.find("Ethernet Connected!"), std::string::npos) << out;
      if (out.find("BTFTM : Listening on socket...\n") == std::string::npos) {
        EXPECT_TRUE(bridge.child->HasInOrder(kCleanUpLines)) << out;
      } else {
        EXPECT_NE(out.find("BTFTM : accept failed\n"), std::string::npos) << out;
      }
    }
  }
}

}  // namespace
