// A bench left running: the launcher serves fifty test hosts in a row with BlueZ's emulated
// controller behind ftmd and a capture directory, then is stopped by SIGTERM. Every run
// leaves one whole capture and a summary line that match what its host exchanged; ftmd's
// lines are there; nothing is left running or lying about.
#include "capture_check.h"
#include "harness.h"
#include "wire/version.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <fstream>
#include <regex>

using namespace e2e;
using tarnexio_test::Capture;

namespace {

constexpr int kHosts = 50;
const uint16_t kReads[] = {0x1009, 0x1001, 0x1005};  // BD_ADDR, local version, buffer size

// What one host sent and received, as H4 packets (type byte first).
struct Exchange {
  std::vector<Bytes> sent, received;
  static size_t Total(const std::vector<Bytes>& packets) {
    size_t n = 0;
    for (const Bytes& p : packets) n += p.size();
    return n;
  }
  // The run summary's counts, as the bridge prints them.
  std::string Summary() const {
    return "commands " + std::to_string(sent.size()) + ", events " + std::to_string(received.size()) +
           ", ACL to controller 0, ACL from controller 0, SCO to controller 0, SCO from controller 0, bytes to "
           "controller " +
           std::to_string(Total(sent)) + ", bytes from controller " + std::to_string(Total(received)) +
           "; dropped: oversized 0, malformed 0, short reply 0, unknown type 0, no frame end 0, not sent 0, "
           "no memory 0; Tarnexio version " + TarnexioVersion() + "; capture ";
  }
};

// Host i asks for one to three of the reads, each answered by its Command Complete.
Exchange RunHost(int port, int i) {
  Exchange x;
  TestHost host(port);
  EXPECT_TRUE(host.connected()) << "host " << i;
  for (int k = 0; k <= i % 3; ++k) {
    x.sent.push_back(Command(kReads[k], {}));
    host.Send(x.sent.back());
    const Bytes event = host.ReceiveH4();
    EXPECT_TRUE(IsCommandComplete(event, kReads[k])) << "host " << i;
    x.received.push_back(event);
  }
  return x;
}

bool RunsProgram(pid_t pid, const std::string& name) {
  std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
  std::string argv0;
  return std::getline(cmdline, argv0, '\0') && argv0.find(name) != std::string::npos;
}

TEST(BenchDay, FiftyHostsInARowWithBtvirtAndACaptureDirectoryThenSigterm) {
  if (FindProgram("btvirt").empty()) GTEST_SKIP() << "btvirt is not installed (Debian package bluez-test-tools)";
  if (!tarnexio_test::HaveProgram("tshark")) GTEST_SKIP() << "tshark is not installed";
  const std::string why = PrivateTmp();
  if (!why.empty()) GTEST_SKIP() << "btvirt's sockets need a private /tmp: " << why;
  Btvirt btvirt;
  ASSERT_TRUE(btvirt.ready) << btvirt.child->Output();

  TempDir dir, captures;
  const int port = FreePort();
  Child launcher({"/usr/bin/setsid", "bash", START_SCRIPT, "--", "--controller", std::string("unix:") + kBtvirtSocket},
                 {{"TARNEXIO_BUILD_DIR", TARNEXIO_BUILD_DIR},
                  {"TARNEXIO_PORT", std::to_string(port)},
                  {"TARNEXIO_MODE", "raw"},
                  {"TARNEXIO_BTSNOOP", captures.path},
                  {"TMPDIR", dir.path}});
  std::vector<Exchange> hosts;
  size_t commands = 0;
  for (int i = 0; i < kHosts; ++i) {
    ASSERT_TRUE(launcher.WaitForCount("BTFTM : Waiting for incoming Ethernet connections... \n", i + 1, Millis(30000)))
        << launcher.Output();
    hosts.push_back(RunHost(port, i));
    commands += hosts.back().sent.size();
  }
  ASSERT_TRUE(launcher.WaitForCount("BTFTM : Waiting for incoming Ethernet connections... \n", kHosts + 1,
                                    Millis(30000)));
  launcher.Signal(SIGTERM);
  ASSERT_EQ(launcher.WaitExit(Millis(30000)), 0) << launcher.Output();
  const std::string out = launcher.Output();

  // One summary per host, in order, each naming its capture.
  std::vector<std::string> summaries;
  const std::regex summaryLine("BTFTM : Run summary: (.*)\n");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), summaryLine); it != std::sregex_iterator(); ++it)
    summaries.push_back((*it)[1]);
  ASSERT_EQ(summaries.size(), size_t(kHosts)) << out;

  // Fifty whole captures, plus the header of the run that was waiting when the stop came.
  const std::vector<std::string> names = NamesIn(captures.path);
  ASSERT_EQ(names.size(), size_t(kHosts + 1));
  for (int i = 0; i < kHosts; ++i) {
    SCOPED_TRACE("host " + std::to_string(i));
    const std::string path = captures.path + "/" + names[i];
    EXPECT_EQ(summaries[i], hosts[i].Summary() + path);
    const Capture capture = tarnexio_test::ReadCapture(path);
    ASSERT_TRUE(capture.opened && capture.wholeRecords) << capture.problem;
    EXPECT_EQ(tarnexio_test::PacketsGoing(capture, BTSNOOP_TO_CONTROLLER), hosts[i].sent);
    EXPECT_EQ(tarnexio_test::PacketsGoing(capture, BTSNOOP_FROM_CONTROLLER), hosts[i].received);
    std::vector<tarnexio_test::DecodedFrame> frames;
    std::string problem;
    ASSERT_TRUE(tarnexio_test::DecodeWithTshark(path, &frames, &problem)) << problem;
    EXPECT_EQ(frames.size(), hosts[i].sent.size() + hosts[i].received.size());
    for (const auto& f : frames) EXPECT_FALSE(f.malformed);
  }
  const Capture last = tarnexio_test::ReadCapture(captures.path + "/" + names[kHosts]);
  EXPECT_TRUE(last.opened && last.wholeRecords && last.packets.empty()) << last.problem;

  // ftmd's lines came through as they were printed, its last one with the controller's
  // counts of the whole day.
  const std::regex countsLine("ftmd: conn [0-9]+: commands ");
  EXPECT_GE(std::distance(std::sregex_iterator(out.begin(), out.end(), countsLine), std::sregex_iterator()), kHosts);
  EXPECT_NE(out.find("ftmd: stopped on SIGTERM; controller unix:" + std::string(kBtvirtSocket) + ": sent " +
                     std::to_string(commands) + " commands, 0 ACL, 0 SCO; received " + std::to_string(commands) +
                     " events"),
            std::string::npos)
      << out;

  // Nothing left: no bridge (each capture names its process) nor ftmd running, no file
  // of the launcher's or ftmd's.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex("ftmd: starting, version [^,]*, pid ([0-9]+)")));
  EXPECT_FALSE(RunsProgram(std::stoi(m[1]), "ftmd"));
  for (const std::string& name : names) {
    const pid_t pid = std::stoi(name.substr(name.rfind('-') + 1));
    EXPECT_FALSE(RunsProgram(pid, "Tarnexio")) << name;
  }
  EXPECT_TRUE(NamesIn(dir.path).empty());
}

}  // namespace
