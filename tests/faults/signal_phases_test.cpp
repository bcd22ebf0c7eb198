// Ctrl+C (SIGINT) and shutdown (SIGTERM) in every phase of start-up and of the run.
#include "device_double.h"
#include "fault_support.h"
#include "thread_state.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

using namespace faults;

namespace {

const char kSignalled[] = "Signalling the main thread to exit..\n";

// A device socket that takes no connection: its backlog is full, so the bridge's open
// blocks in connect until the socket goes away.
struct StuckDevice {
  explicit StuckDevice(const std::string& path) {
    listenFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    bool ok = bind(listenFd, (sockaddr*)&addr, sizeof addr) == 0 && listen(listenFd, 0) == 0;
    // Fill the backlog with connections of our own that are never accepted.
    for (int i = 0; ok && i < 2; ++i) {
      int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (connect(fd, (sockaddr*)&addr, sizeof addr) == 0) fillers.push_back(fd); else close(fd);
    }
    ready = ok && !fillers.empty();
    socketPath = path;
  }
  void Close() {
    if (listenFd >= 0) close(listenFd);
    listenFd = -1;
    unlink(socketPath.c_str());
  }
  ~StuckDevice() {
    Close();
    for (int fd : fillers) close(fd);
  }
  int listenFd = -1;
  std::vector<int> fillers;
  std::string socketPath;
  bool ready = false;
};

TEST(SignalPhases, CtrlCWhileTheDriverOpensLetsStartUpFinishCleanUpAndExitOne) {
  e2e::TempDir dir;
  StuckDevice device(dir.path + "/ZELDROVE");
  ASSERT_TRUE(device.ready);
  e2e::Bridge bridge(dir.path, "raw");
  ASSERT_TRUE(bridge.child->WaitForOutput("BTFTM : opening FTM Driver handle\n"));
  ASSERT_TRUE(tarnexio_test::WaitProcessBlockedIn(bridge.child->pid(), SYS_connect));
  ASSERT_TRUE(bridge.child->Running()) << bridge.child->Output();
  bridge.child->Signal(SIGINT);
  ASSERT_TRUE(bridge.child->WaitForOutput(kSignalled));
  // The open fails once the device goes; start-up goes on as if it had never been there.
  device.Close();
  EXPECT_EQ(bridge.child->WaitExit(), 1);
  std::vector<std::string> lines = {kSignalled, "BTFTM : FTM Driver handle Open Failed\n"};
  lines.insert(lines.end(), kCleanUpLines.begin(), kCleanUpLines.end());
  EXPECT_TRUE(bridge.child->HasInOrder(lines)) << bridge.child->Output();
}

TEST(SignalPhases, CtrlCDuringTheFtmWaitEndsWithoutFtmModeAndExitsOne) {
  e2e::TempDir dir;
  tarnexio_test::DeviceDouble device(dir.path, "ZELDROVE");
  // The enable-FTM request stays unanswered: main waits for FTM mode.
  device.SetScript([](const tarnexio_test::DeviceRequest&) { return tarnexio_test::DeviceAction::Ignore(); });
  e2e::Bridge bridge(dir.path, "raw");
  ASSERT_TRUE(bridge.child->WaitForOutput("BTFTM : EnterFtmModeThread ++\n"));
  ASSERT_TRUE(device.WaitForRequests(1));
  bridge.child->Signal(SIGINT);
  EXPECT_EQ(bridge.child->WaitExit(), 1);
  std::string out = bridge.child->Output();
  // The FTM mode thread's last line may come before or after main's clean-up.
  std::vector<std::string> lines = {kSignalled, "BTFTM : EnableDrvFtm Error: Default. Error -0x3E3\n"};
  lines.insert(lines.end(), kCleanUpLines.begin(), kCleanUpLines.end());
  EXPECT_TRUE(bridge.child->HasInOrder(lines)) << out;
  // The thread signals main before its "--" line, and the process ends when main returns,
  // so that line may be missing; when it is there, it follows the error line.
  if (out.find("BTFTM : EnterFtmModeThread --\n") != std::string::npos) {
    EXPECT_TRUE(e2e::ContainsInOrder(out, {"BTFTM : EnableDrvFtm Error: Default. Error -0x3E3\n",
                                           "BTFTM : EnterFtmModeThread --\n"}))
        << out;
  }
  EXPECT_EQ(out.find("Event Thread"), std::string::npos) << out;
  EXPECT_EQ(out.find("Listening"), std::string::npos) << out;
  EXPECT_TRUE(device.WaitForNoConnections());
}

TEST(SignalPhases, CtrlCTwiceWhileWaitingForTheTestHostExitsOne) {
  e2e::Ftmd ftmd({"--type", "1"});
  e2e::Bridge bridge(ftmd.dir.path, "raw");
  ASSERT_TRUE(bridge.WaitListening());
  bridge.child->Signal(SIGINT);
  bridge.child->Signal(SIGINT);
  EXPECT_EQ(bridge.child->WaitExit(), 1);
  EXPECT_TRUE(bridge.child->WaitForOutput("BTFTM : accept failed\n", Millis(1000)));
  EXPECT_GE(bridge.child->Count(kSignalled), 1);
  EXPECT_EQ(bridge.child->Count("Cleaning all resources"), 0);
}

TEST(SignalPhases, CtrlCTwiceWhileConnectedCleansUpOnceAndExitsZero) {
  for (const char* mode : {"raw", "diag"}) {
    SCOPED_TRACE(mode);
    LiveRun run(mode);
    ASSERT_TRUE(run.ready) << run.why;
    run.bridge.child->Signal(SIGINT);
    ASSERT_TRUE(run.bridge.child->WaitForOutput(kSignalled));
    run.bridge.child->Signal(SIGINT);
    EXPECT_EQ(run.bridge.child->WaitExit(), 0);
    std::string out = run.bridge.child->Output();
    EXPECT_TRUE(run.bridge.child->HasInOrder(kCleanUpLines)) << out;
    EXPECT_EQ(run.bridge.child->Count("BTFTM : Cleaning all resources\n"), 1);
    EXPECT_EQ(out.find("Error in closing"), std::string::npos) << out;
  }
}

TEST(SignalPhases, CtrlCWhileTrafficFlowsCleansUpAndExitsZero) {
  LiveRun run("raw");
  ASSERT_TRUE(run.ready) << run.why;
  uint16_t handle = OpenAclLink(*run.host);
  ASSERT_NE(handle, 0xFFFF);
  // ACL data from the controller keeps coming while the signal arrives.
  run.host->Send(Command(0xFC01, {(uint8_t)handle, (uint8_t)(handle >> 8), 0xFF, 0xFF, 0x00, 0x01, 0x00}));
  ASSERT_TRUE(run.bridge.child->WaitForOutput("ACL packet from btsoc"));
  run.bridge.child->Signal(SIGINT);
  EXPECT_EQ(run.bridge.child->WaitExit(), 0);
  EXPECT_TRUE(run.bridge.child->HasInOrder(kCleanUpLines)) << run.bridge.child->Output().substr(0, 4000);
}

// SIGTERM is a shutdown: the handler lets it through and the process ends by the signal.
TEST(SignalPhases, SigtermEndsEveryPhaseByTheSignal) {
  {
    e2e::TempDir dir;
    tarnexio_test::DeviceDouble device(dir.path, "ZELDROVE");
    device.SetScript([](const tarnexio_test::DeviceRequest&) { return tarnexio_test::DeviceAction::Ignore(); });
    e2e::Bridge bridge(dir.path, "raw");
    ASSERT_TRUE(device.WaitForRequests(1));
    bridge.child->Signal(SIGTERM);
    EXPECT_EQ(bridge.child->WaitExit(), 128 + SIGTERM);
  }
  {
    e2e::Ftmd ftmd({"--type", "1"});
    e2e::Bridge bridge(ftmd.dir.path, "diag");
    ASSERT_TRUE(bridge.WaitListening());
    bridge.child->Signal(SIGTERM);
    EXPECT_EQ(bridge.child->WaitExit(), 128 + SIGTERM);
  }
  {
    LiveRun run("raw");
    ASSERT_TRUE(run.ready) << run.why;
    run.bridge.child->Signal(SIGTERM);
    EXPECT_EQ(run.bridge.child->WaitExit(), 128 + SIGTERM);
    EXPECT_EQ(run.bridge.child->Output().find(kSignalled), std::string::npos);
    EXPECT_TRUE(run.host->Receive(1, Millis(5000)).empty());
  }
}

}  // namespace
