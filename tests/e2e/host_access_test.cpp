// Where the bridge listens (TARNEXIO_LISTEN) and whom it serves (TARNEXIO_ALLOW), end to
// end: real connections from chosen loopback addresses to the bridge against ftmd.
#include "harness.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "test_time.h"

using namespace e2e;

namespace {

const Bytes kReset = {0x01, 0x03, 0x0C, 0x00};
const Bytes kResetComplete = {0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00};

// Bytes from fd until n have come, the peer closed or the time is up.
Bytes ReceiveBytes(int fd, size_t n, Millis timeout = Millis(5000)) {
  Bytes got;
  const auto deadline = std::chrono::steady_clock::now() + tarnexio_test::Scaled(timeout);
  while (got.size() < n) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now()).count();
    pollfd p = {fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, (int)left) <= 0) break;
    uint8_t buffer[256];
    const ssize_t r = recv(fd, buffer, std::min(sizeof buffer, n - got.size()), 0);
    if (r <= 0) break;
    got.insert(got.end(), buffer, buffer + r);
  }
  return got;
}

// True when the peer closes fd (an end of stream or a reset) within the time.
bool ClosedByPeer(int fd, Millis timeout = Millis(5000)) {
  pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, (int)tarnexio_test::ScaledMs(timeout.count())) <= 0) return false;
  uint8_t byte;
  const ssize_t r = recv(fd, &byte, 1, 0);
  return r == 0 || (r < 0 && errno == ECONNRESET);
}

// A test host served from fd: an HCI reset answered by its Command Complete.
::testing::AssertionResult Served(int fd) {
  if (fd < 0) return ::testing::AssertionFailure() << "not connected: " << std::strerror(errno);
  if (send(fd, kReset.data(), kReset.size(), MSG_NOSIGNAL) != (ssize_t)kReset.size())
    return ::testing::AssertionFailure() << "send failed";
  const Bytes answer = ReceiveBytes(fd, kResetComplete.size());
  if (answer != kResetComplete) return ::testing::AssertionFailure() << "no Command Complete for the reset";
  return ::testing::AssertionSuccess();
}

std::string ListeningLine(int port, const std::string& address) {
  return "BTFTM : Listening on TCP port " + std::to_string(port) + ", address " + address + "\n";
}

TEST(HostAccess, AHostFromOutsideTheAllowListIsClosedAndTheRunGoesOnToServeTheNext) {
  Ftmd ftmd({"--type", "1"});
  Bridge bridge(ftmd.dir.path, "raw", 0, {{"TARNEXIO_ALLOW", "127.0.0.2/32"}});
  ASSERT_TRUE(bridge.WaitListening()) << ftmd.child->Output();
  Child& out = *bridge.child;
  // Nothing else changes: every address, as without the setting.
  EXPECT_EQ(out.Count(ListeningLine(bridge.port, "0.0.0.0 (every local address)")), 1) << out.Output();

  const int outsider = tarnexio_test::ConnectFrom("127.0.0.1", "127.0.0.1", bridge.port);
  ASSERT_GE(outsider, 0) << std::strerror(errno);
  EXPECT_TRUE(ClosedByPeer(outsider)) << out.Output();
  EXPECT_TRUE(out.WaitForOutput("BTFTM : Connection from 127.0.0.1 port "));
  EXPECT_TRUE(out.WaitForOutput(" refused: its address is not in TARNEXIO_ALLOW\n"));
  close(outsider);
  EXPECT_TRUE(out.Running());
  EXPECT_EQ(out.Count("BTFTM : Ethernet Connected!"), 0) << "not a served run:\n" << out.Output();

  const int host = tarnexio_test::ConnectFrom("127.0.0.2", "127.0.0.1", bridge.port);
  EXPECT_TRUE(Served(host)) << out.Output();
  EXPECT_TRUE(out.WaitForOutput("BTFTM : Ethernet Connected!\n"));
  if (host >= 0) close(host);
  EXPECT_EQ(out.WaitExit(), 0) << out.Output();
  // One refusal line, one wait, one run's clean-up.
  EXPECT_EQ(out.Count(" refused: its address is not in TARNEXIO_ALLOW"), 1) << out.Output();
  EXPECT_EQ(out.Count("BTFTM : Waiting for incoming Ethernet connections"), 1) << out.Output();
  EXPECT_TRUE(out.HasInOrder(kCleanUpLines)) << out.Output();
}

TEST(HostAccess, ListeningOnTheIpv6LoopbackServesOverIpv6Only) {
  if (!tarnexio_test::HasIpv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
  Ftmd ftmd({"--type", "1"});
  Bridge bridge(ftmd.dir.path, "raw", 0, {{"TARNEXIO_LISTEN", "::1"}, {"TARNEXIO_ALLOW", "::1/128"}});
  ASSERT_TRUE(bridge.WaitListening()) << ftmd.child->Output();
  EXPECT_EQ(bridge.child->Count(ListeningLine(bridge.port, "::1")), 1) << bridge.child->Output();
  EXPECT_EQ(tarnexio_test::ConnectFrom("", "127.0.0.1", bridge.port), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  const int host = tarnexio_test::ConnectFrom("", "::1", bridge.port);
  EXPECT_TRUE(Served(host)) << bridge.child->Output();
  if (host >= 0) close(host);
  EXPECT_EQ(bridge.child->WaitExit(), 0) << bridge.child->Output();
}

TEST(HostAccess, ListeningOnOneLoopbackAddressIsNotReachableOnAnother) {
  Ftmd ftmd({"--type", "1"});
  Bridge bridge(ftmd.dir.path, "raw", 0, {{"TARNEXIO_LISTEN", "127.0.0.1"}});
  ASSERT_TRUE(bridge.WaitListening()) << ftmd.child->Output();
  EXPECT_EQ(bridge.child->Count(ListeningLine(bridge.port, "127.0.0.1")), 1) << bridge.child->Output();
  EXPECT_EQ(tarnexio_test::ConnectFrom("", "127.0.0.2", bridge.port), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  const int host = tarnexio_test::ConnectFrom("", "127.0.0.1", bridge.port);
  EXPECT_TRUE(Served(host)) << bridge.child->Output();
  if (host >= 0) close(host);
  EXPECT_EQ(bridge.child->WaitExit(), 0) << bridge.child->Output();
}

TEST(HostAccess, AnUnusableSettingEndsTheStartWithOneLineAndTheCodeOfAFailedServer) {
  const struct {
    const char* name;
    const char* value;
    const char* line;
  } cases[] = {
      {"TARNEXIO_LISTEN", "localhost",
       "Tarnexio: TARNEXIO_LISTEN=localhost is not an IPv4 or IPv6 address (such as 127.0.0.1 or ::1); unset it to "
       "listen on every address\n"},
      {"TARNEXIO_LISTEN", "[::1]", "Tarnexio: TARNEXIO_LISTEN=[::1] is not an IPv4 or IPv6 address"},
      {"TARNEXIO_LISTEN", "127.0.0.1:2390", "Tarnexio: TARNEXIO_LISTEN=127.0.0.1:2390 is not an IPv4 or IPv6 address"},
      {"TARNEXIO_ALLOW", "127.0.0.1/33",
       "Tarnexio: TARNEXIO_ALLOW=127.0.0.1/33 cannot be used: \"127.0.0.1/33\": the prefix length \"33\" is not a "
       "number from 0 to 32; it takes ADDRESS/LENGTH prefixes separated by commas, such as 192.168.1.0/24,::1/128\n"},
      {"TARNEXIO_ALLOW", "10.0.0.0/8;127.0.0.1", "Tarnexio: TARNEXIO_ALLOW=10.0.0.0/8;127.0.0.1 cannot be used: "},
      {"TARNEXIO_ALLOW", "10.0.0.0/8,,::1", "cannot be used: an empty item (item 2);"},
  };
  Ftmd ftmd({"--type", "1"});
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "=" + c.value);
    Bridge bridge(ftmd.dir.path, "raw", 0, {{c.name, c.value}});
    EXPECT_EQ(bridge.child->WaitExit(), 1);
    const std::string out = bridge.child->Output();
    EXPECT_NE(out.find(c.line), std::string::npos) << out;
    EXPECT_EQ(tarnexio_test::Occurrences(out, "Tarnexio: "), 1u) << out;
    EXPECT_EQ(out.find("opening FTM Driver handle"), std::string::npos) << "the driver is not touched:\n" << out;
  }
  // An address that is no address of this machine: the set-up of the TCP server fails.
  Bridge bridge(ftmd.dir.path, "raw", 0, {{"TARNEXIO_LISTEN", "192.0.2.1"}});
  EXPECT_EQ(bridge.child->WaitExit(), 1);
  // The reason in the system's words: its text here, its number on Windows (WSAEADDRNOTAVAIL).
  const std::string line = "Tarnexio: cannot listen on TCP port " + std::to_string(bridge.port) + " of 192.0.2.1 (";
  ASSERT_TRUE(bridge.child->WaitForOutput(line));
  const std::string out = bridge.child->Output();
  const std::string reason = out.substr(out.find(line) + line.size());
  EXPECT_TRUE(reason.rfind(std::string(std::strerror(EADDRNOTAVAIL)) + ")\n", 0) == 0 || reason.rfind("error 10049", 0) == 0)
      << out;
}

}  // namespace
