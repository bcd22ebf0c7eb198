// A test host that says nothing: keepalive finds one that is gone without a word, and
// TARNEXIO_IDLE_TIMEOUT lets go of one that never sends, so that neither holds the bench.
#include "harness.h"
#include "test_time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

using namespace e2e;

namespace {

const char kSilentLine[] = "BTFTM : The test host sent nothing within TARNEXIO_IDLE_TIMEOUT (";

// The timer the kernel keeps on the established TCP socket whose local port is `port`
// (/proc/net/tcp): its kind (2: keepalive) and the seconds until it fires; false when
// there is no such socket.
bool TcpTimerOf(int port, int* kind, double* seconds) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream row(line);
    std::string slot, local, remote, state, queues, timer;
    row >> slot >> local >> remote >> state >> queues >> timer;
    if (state != "01" || std::stoi(local.substr(local.find(':') + 1), nullptr, 16) != port) continue;
    *kind = std::stoi(timer.substr(0, timer.find(':')), nullptr, 16);
    *seconds = double(std::stoul(timer.substr(timer.find(':') + 1), nullptr, 16)) / double(sysconf(_SC_CLK_TCK));
    return true;
  }
  return false;
}

TEST(QuietHost, TheHostConnectionIsProbedByKeepaliveAfterAMinuteOfSilence) {
  LiveRun run("raw");
  ASSERT_TRUE(run.ready) << run.why;
  int kind = -1;
  double seconds = 0;
  ASSERT_TRUE(TcpTimerOf(run.bridge.port, &kind, &seconds));
  EXPECT_EQ(kind, 2) << "the keepalive timer";
  EXPECT_GT(seconds, 30);
  EXPECT_LE(seconds, 60);
  run.host->Close();
  EXPECT_EQ(run.bridge.child->WaitExit(), 0);
}

TEST(QuietHost, AHostThatSendsNothingWithinTheIdleTimeoutIsLetGoAndTheRunServedNoHost) {
  LiveRun run("raw", {"--type", "1"}, {{"TARNEXIO_IDLE_TIMEOUT", "1"}});
  ASSERT_TRUE(run.ready) << run.why;
  EXPECT_EQ(run.bridge.child->WaitExit(Millis(10000)), 1);
  std::vector<std::string> lines = {"BTFTM : Ethernet Connected!\n", std::string(kSilentLine) + "1 s), closing its connection\n"};
  lines.insert(lines.end(), kCleanUpLines.begin(), kCleanUpLines.end());
  const std::string out = run.bridge.child->Output();
  EXPECT_TRUE(run.bridge.child->HasInOrder(lines)) << out;
  EXPECT_EQ(run.bridge.child->Count("Run summary"), 0) << out;
  EXPECT_EQ(run.bridge.child->Count("Client disconnected"), 0) << out;
  // The host sees its connection end.
  EXPECT_TRUE(run.host->Receive(1, Millis(5000)).empty());
}

TEST(QuietHost, AHostThatTalksIsServedAsAlwaysWhateverItsPausesAfterwards) {
  const int idle = std::max(1, int(std::lround(2 * tarnexio_test::TimeScale())));
  LiveRun run("raw", {"--type", "1"}, {{"TARNEXIO_IDLE_TIMEOUT", std::to_string(idle)}});
  ASSERT_TRUE(run.ready) << run.why;
  run.host->Send(Command(0x0C03, {}));
  EXPECT_FALSE(ReceiveUntil(*run.host, [](const Bytes& p) { return IsCommandComplete(p, 0x0C03); }).empty());
  // Quiet for longer than the timeout: nothing happens.
  EXPECT_FALSE(run.bridge.child->WaitForOutput(kSilentLine, Millis(idle * 1500)));
  run.host->Send(Command(0x1009, {}));
  EXPECT_FALSE(ReceiveUntil(*run.host, [](const Bytes& p) { return IsCommandComplete(p, 0x1009); }).empty());
  run.host->Close();
  EXPECT_EQ(run.bridge.child->WaitExit(), 0);
  EXPECT_EQ(run.bridge.child->Count("Run summary"), 1);
}

TEST(QuietHost, AnIdleTimeoutThatIsNoNumberOfSecondsIsSaidAndIgnored) {
  for (const char* value : {"0", "010", "5s", "-1", "2147484", "99999999999"}) {
    SCOPED_TRACE(value);
    LiveRun run("raw", {"--type", "1"}, {{"TARNEXIO_IDLE_TIMEOUT", value}});
    ASSERT_TRUE(run.ready) << run.why;
    EXPECT_TRUE(run.bridge.child->WaitForOutput(std::string("BTFTM : TARNEXIO_IDLE_TIMEOUT=") + value +
                                                " is not a number of seconds from 1 to 2147483, ignored\n"));
    run.host->Close();
    EXPECT_EQ(run.bridge.child->WaitExit(), 0);
  }
}

}  // namespace
