// A live capture: the bridge writes pcap or pcapng to a FIFO that tshark reads, and tshark
// decodes every packet while the test host is still connected, in the order the host got
// them. A FIFO is a thing of this system: the Windows program's pipe has its own test.
#include "capture_check.h"
#include "capture_recorder.h"
#include "child_process.h"
#include "harness.h"
#include "wait_until.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include <cstdlib>
#include <sstream>

using namespace e2e;
using tarnexio_test::kCaptureToolTimeout;

namespace {

// What tells packets of a run apart: direction, type, and the event code, the command's
// opcode or the ACL packet's length.
std::string KeyOf(int direction, const Bytes& p) {
  std::string key = std::to_string(direction) + "/" + std::to_string(p[0]) + "/";
  if (p[0] == 0x04 && p.size() > 1) return key + std::to_string(p[1]);
  if (p[0] == 0x01 && p.size() > 2) return key + std::to_string(p[1] | p[2] << 8);
  if (p[0] == 0x02 && p.size() > 4) return key + std::to_string(p[3] | p[4] << 8);
  return key;
}

// tshark's fields, one line per frame: number, direction, type, event code, opcode, ACL length.
std::vector<std::string> KeysFromTshark(const std::string& out) {
  std::vector<std::string> keys;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    std::string field;
    while (std::getline(fields, field, '\t')) f.push_back(field);
    if (f.size() < 3 || f[0].empty() || f[0].find_first_not_of("0123456789") != std::string::npos) continue;
    f.resize(6);
    const long type = std::strtol(f[2].c_str(), nullptr, 0);
    const std::string& detail = type == 4 ? f[3] : type == 1 ? f[4] : f[5];
    keys.push_back(std::to_string(std::strtol(f[1].c_str(), nullptr, 0)) + "/" + std::to_string(type) + "/" +
                   (detail.empty() ? "" : std::to_string(std::strtol(detail.c_str(), nullptr, 0))));
  }
  return keys;
}

struct Live {
  const char* mode;
  const char* fifo;
};

class LiveCapture : public ::testing::TestWithParam<Live> {};

TEST_P(LiveCapture, TsharkDecodesEveryPacketWhileTheHostIsConnectedInTheOrderTheHostGotThem) {
  if (!tarnexio_test::HaveProgram("tshark")) GTEST_SKIP() << "tshark is not installed";
  const Live live = GetParam();
  TempDir files;
  const std::string fifo = files.path + "/" + live.fifo;
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  LiveRun run(live.mode, {"--type", "1"}, {{"TARNEXIO_CAPTURE", fifo}});
  ASSERT_TRUE(run.ready) << "the bridge waits for no reader: " << run.why;
  ASSERT_TRUE(run.bridge.child->WaitForOutput("BTFTM : Capturing HCI packets to the pipe " + fifo +
                                              " once a reader opens it\n"));
  tarnexio_test::ChildProcess tshark({"/usr/bin/env", "HOME=" + files.path, "XDG_CONFIG_HOME=" + files.path, "tshark",
                                      "-l", "-i", fifo, "-T", "fields", "-E", "separator=/t", "-e", "frame.number",
                                      "-e", "hci_h4.direction", "-e", "hci_h4.type", "-e", "bthci_evt.code", "-e",
                                      "bthci_cmd.opcode", "-e", "bthci_acl.length"});
  ASSERT_TRUE(run.bridge.child->WaitForOutput("BTFTM : A reader opened the pipe " + fifo, kCaptureToolTimeout))
      << tshark.Output();

  const bool diag = std::string(live.mode) == "diag";
  Recorder r{run.host.get(), diag, {}, {}};
  Exchange(r, 1);
  r.Drain();
  // The packets of each direction in the order they passed, as the host saw them.
  std::vector<std::string> expected;
  for (const Bytes& p : r.sent) expected.push_back(KeyOf(0, p));
  for (const Bytes& p : r.received) expected.push_back(KeyOf(1, p));
  std::vector<std::string> seen;
  const auto split = [](const std::vector<std::string>& keys, char direction) {
    std::vector<std::string> out;
    for (const std::string& k : keys)
      if (k[0] == direction) out.push_back(k);
    return out;
  };
  WaitUntil([&] { return (seen = KeysFromTshark(tshark.Output())).size() >= expected.size(); },
            kCaptureToolTimeout.count());
  ASSERT_EQ(seen.size(), expected.size()) << "with the host still connected:\n" << tshark.Output();
  EXPECT_EQ(split(seen, '0'), split(expected, '0')) << tshark.Output();
  EXPECT_EQ(split(seen, '1'), split(expected, '1')) << tshark.Output();

  run.host->Close();
  ASSERT_EQ(run.bridge.child->WaitExit(), 0);
  EXPECT_TRUE(tshark.WaitForEnd(kCaptureToolTimeout)) << "tshark sees the end of the capture";
}

INSTANTIATE_TEST_SUITE_P(EachModeEachFormat, LiveCapture,
                         ::testing::Values(Live{"raw", "live.pcap"}, Live{"raw", "live.pcapng"},
                                           Live{"diag", "live.pcap"}, Live{"diag", "live.pcapng"}),
                         [](const ::testing::TestParamInfo<Live>& test) {
                           return std::string(test.param.mode) +
                                  (std::string(test.param.fifo).find("ng") != std::string::npos ? "Pcapng" : "Pcap");
                         });

// A reader that takes nothing holds no packet up: what does not fit the capture's queue is
// lost and counted. When it leaves, one line; the next reader gets a capture of its own,
// header first, with the losses among its drops.
TEST(LiveCapture, ASlowReaderCostsCapturedPacketsNeverTrafficAndTheNextReaderStartsAfresh) {
  TempDir files;
  const std::string fifo = files.path + "/live.pcapng";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  LiveRun run("raw", {"--type", "1"}, {{"TARNEXIO_CAPTURE", fifo}});
  ASSERT_TRUE(run.ready) << run.why;
  const int stalled = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(stalled, 0);
  ASSERT_TRUE(run.bridge.child->WaitForOutput("BTFTM : A reader opened the pipe " + fifo));
  Recorder r{run.host.get(), false, {}, {}};
  const uint16_t acl = r.OpenAcl();
  ASSERT_NE(acl, 0xFFFF);
  constexpr int kPackets = 3000;  // each way about 3 MB: more than the queue and the pipe hold
  std::thread sender([&] {
    for (int i = 0; i < kPackets; ++i) run.host->Send(AclOf(acl, i, 1000));
  });
  const int acls = r.ReceiveAcls(kPackets);
  sender.join();
  EXPECT_EQ(acls, kPackets) << "the stalled reader held the traffic up";
  // The controller answers each packet with a Number of Completed Packets event, on the
  // event reader's thread, which may lag far behind the looped-back data: all of them are
  // taken before the next reader comes, so that its capture starts with the reset.
  const auto completed = [&r] {
    int n = 0;
    for (const Bytes& p : r.received)
      if (p.size() >= 8 && p[0] == 0x04 && p[1] == 0x13) n += p[6] | p[7] << 8;
    return n;
  };
  while (completed() < kPackets && !r.Receive().empty()) {
  }
  EXPECT_EQ(completed(), kPackets);
  close(stalled);
  ASSERT_TRUE(run.bridge.child->WaitForOutput("BTFTM : The reader of the pipe " + fifo +
                                              " left, capturing again when a reader opens it\n"));

  std::vector<uint8_t> got;
  std::thread reader([&] {
    const int fd = open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
    uint8_t buffer[4096];
    for (ssize_t n; fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0;) got.insert(got.end(), buffer, buffer + n);
    if (fd >= 0) close(fd);
  });
  // The reader thread ends only when the bridge lets go of the pipe: whatever fails below,
  // the bridge ends before the thread is joined.
  const bool reopened = run.bridge.child->WaitForCount("BTFTM : A reader opened the pipe " + fifo, 2);
  EXPECT_TRUE(reopened);
  r.Send(Hex("01 03 0c 00"));
  EXPECT_FALSE(r.ReceiveEvent(0x0E).empty());
  run.host->Close();
  const int exitCode = run.bridge.child->WaitExit();
  if (exitCode == -1 || !reopened) run.bridge.child->Signal(SIGKILL);
  if (!reopened) {
    const int unblock = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // the reader's open returns
    if (unblock >= 0) close(unblock);
  }
  reader.join();
  ASSERT_TRUE(reopened);
  ASSERT_EQ(exitCode, 0);

  std::smatch m;
  const std::string out = run.bridge.child->Output();
  ASSERT_TRUE(std::regex_search(out, m, std::regex("BTFTM : The pipe .* lost ([0-9]+) packets to a slow reader\n")))
      << out;
  const uint64_t lost = std::stoull(m[1]);
  EXPECT_GT(lost, 0u);
  CaptureReader capture;
  ASSERT_TRUE(CaptureReadStart(&capture, got.data(), got.size()));
  CaptureRecordView record{};
  std::vector<Bytes> packets;
  while (CaptureReadNext(&capture, got.data(), got.size(), &record) == CAPTURE_READ_RECORD)
    packets.emplace_back(record.packet, record.packet + record.length);
  EXPECT_EQ(capture.offset, got.size());
  EXPECT_EQ(packets, (std::vector<Bytes>{Hex("01 03 0c 00"), r.received.back()}));
  EXPECT_EQ(record.drops, lost);
  EXPECT_TRUE(capture.statistics);
  EXPECT_EQ(capture.dropped, lost);
}

}  // namespace
