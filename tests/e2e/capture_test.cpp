// HCI capture end to end: with TARNEXIO_BTSNOOP the bridge records what the test host sent
// and received, packet for packet, as ftmd --btsnoop does at the controller side; the
// run summary counts the same. Files that cannot be written cost one line.
#include "capture_check.h"
#include "capture_recorder.h"
#include "harness.h"
#include "wire/diag_packets.h"
#include "wire/version.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <sys/socket.h>
#include <thread>

using namespace e2e;
using tarnexio_test::Capture;
using tarnexio_test::ReadCapture;

namespace {

struct Mode {
  const char* mode;
  int driverType;
  const char* bridgeFile;  // the format each writes follows the ending
  const char* ftmdFile;
};

class CaptureRun : public ::testing::TestWithParam<Mode> {};

TEST_P(CaptureRun, TheCapturesHoldWhatTheTestHostSentAndReceivedAndTheSummaryCountsIt) {
  const Mode m = GetParam();
  TempDir files;
  const std::string bridgeFile = files.path + "/" + m.bridgeFile, ftmdFile = files.path + "/" + m.ftmdFile;
  for (const std::string& file : {bridgeFile, ftmdFile}) {
    std::ofstream(file) << "an older file, longer than a btsnoop header, that each capture replaces";
    chmod(file.c_str(), 0600);  // the user's alone: a file others may open is refused
  }
  LiveRun run(m.mode, {"--type", std::to_string(m.driverType), "--btsnoop", ftmdFile},
              {{std::string(m.mode) == "diag" ? "TARNEXIO_CAPTURE" : "TARNEXIO_BTSNOOP", bridgeFile}});
  ASSERT_TRUE(run.ready) << run.why;
  EXPECT_TRUE(run.bridge.child->WaitForOutput("BTFTM : Capturing HCI packets to "));
  Recorder r{run.host.get(), std::string(m.mode) == "diag", {}, {}};
  Exchange(r, m.driverType);
  r.Drain();
  run.host->Close();
  ASSERT_EQ(run.bridge.child->WaitExit(), 0);
  EXPECT_TRUE(
      run.bridge.child->HasInOrder({r.Summary(kNoDrops, true), std::string(m.bridgeFile) + "\n", kCleanUpLines.front()}))
      << run.bridge.child->Output();

  run.ftmd.child->Signal(SIGTERM);
  EXPECT_EQ(run.ftmd.child->WaitExit(), 0);
  for (const std::string& file : {bridgeFile, ftmdFile}) {
    const Capture capture = ReadCapture(file);
    ASSERT_TRUE(capture.wholeRecords) << file << ": " << capture.problem;
    EXPECT_EQ(tarnexio_test::PacketsGoing(capture, BTSNOOP_TO_CONTROLLER), r.sent) << file;
    ExpectReceived(capture, r.received, file);

    if (!tarnexio_test::HaveProgram("tshark")) continue;
    std::vector<tarnexio_test::DecodedFrame> frames;
    std::string problem;
    ASSERT_TRUE(tarnexio_test::DecodeWithTshark(file, &frames, &problem)) << problem;
    ASSERT_EQ(frames.size(), capture.packets.size()) << file;
    for (size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i].h4Type, capture.packets[i].bytes[0]) << file << " frame " << i + 1;
      EXPECT_EQ(frames[i].direction, int(capture.packets[i].direction)) << file << " frame " << i + 1;
      EXPECT_FALSE(frames[i].malformed) << file << " frame " << i + 1;
    }
    std::string text;
    if (capture.format != CAPTURE_BTSNOOP || !tarnexio_test::HaveProgram("btmon")) continue;
    ASSERT_TRUE(tarnexio_test::DecodeWithBtmon(file, &text)) << text;
    EXPECT_NE(text.find("HCI Command: Reset"), std::string::npos) << text;
    EXPECT_NE(text.find("HCI Event: Command Complete"), std::string::npos) << text;
    if (m.driverType == 1) {
      EXPECT_NE(text.find("ACL Data RX"), std::string::npos) << text;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BothModesBothDrivers, CaptureRun,
                         ::testing::Values(Mode{"raw", 1, "bridge.pcapng", "ftmd.pcap"},
                                           Mode{"raw", 2, "bridge.btsnoop", "ftmd.pcapng"},
                                           Mode{"diag", 1, "bridge.pcap", "ftmd.btsnoop"},
                                           Mode{"diag", 2, "bridge.pcapng", "ftmd"}),
                         [](const ::testing::TestParamInfo<Mode>& test) {
                           return std::string(test.param.mode) + "Type" + std::to_string(test.param.driverType);
                         });

// A raw mode run on a type 1 driver with the bridge's capture on and an ACL link open.
struct CapturedAclRun {
  TempDir files;
  std::string file = files.path + "/bridge.btsnoop";
  LiveRun run{"raw", {"--type", "1"}, {{"TARNEXIO_BTSNOOP", file}}};
  Recorder recorder{run.host.get(), false, {}, {}};
  uint16_t acl = run.ready ? recorder.OpenAcl() : 0xFFFF;
};

TEST(Capture, TenThousandAclPacketsWithCommandsAndEventsGiveWholeRecordsInOrder) {
  CapturedAclRun live;
  ASSERT_NE(live.acl, 0xFFFF);
  auto& [files, file, run, r, acl] = live;
  constexpr int kPackets = 10000;
  std::vector<Bytes> toSend;
  for (int i = 0; i < kPackets; ++i) {
    toSend.push_back(AclOf(acl, i, size_t(8 + i % 200)));
    if (i % 500 == 0) toSend.push_back(Hex("01 09 10 00"));
  }
  // The sender keeps its own list: the recorder's lists belong to the receiving thread.
  // The thread names the run's members, not their bindings, which a lambda cannot take.
  std::thread sender([&] {
    for (const Bytes& p : toSend) live.run.host->Send(p);
  });
  const ::testing::AssertionResult all = r.ReceiveAll(kPackets, 0x1009, kPackets / 500);
  sender.join();
  r.sent.insert(r.sent.end(), toSend.begin(), toSend.end());
  r.Drain();
  EXPECT_TRUE(all);
  EXPECT_EQ(OfType(r.received, 0x02).size(), size_t(kPackets));
  run.host->Close();
  ASSERT_EQ(run.bridge.child->WaitExit(), 0);
  EXPECT_TRUE(run.bridge.child->WaitForOutput(r.Summary(kNoDrops, true)));

  const Capture capture = ReadCapture(file);
  ASSERT_TRUE(capture.wholeRecords) << capture.problem;
  EXPECT_EQ(tarnexio_test::PacketsGoing(capture, BTSNOOP_TO_CONTROLLER), r.sent);
  ExpectReceived(capture, r.received, file);
}

TEST(Capture, AKilledBridgeLeavesWholeRecordsWithEveryPacketTheHostHadReceived) {
  CapturedAclRun live;
  ASSERT_NE(live.acl, 0xFFFF);
  auto& [files, file, run, r, acl] = live;
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    for (int i = 0; !stop; ++i) live.run.host->Send(AclOf(live.acl, i, 64));
  });
  // Killed in the middle of the stream, once the host has had a few hundred packets.
  while (r.received.size() < 500 && !r.Receive().empty()) {
  }
  run.bridge.child->Signal(SIGKILL);
  EXPECT_EQ(run.bridge.child->WaitExit(), 128 + SIGKILL);
  // The connection may outlive the process (under Wine its socket is also the server's):
  // the sender is woken by shutting the socket down, not by the peer going.
  stop = true;
  shutdown(run.host->fd(), SHUT_RDWR);
  sender.join();

  const Capture capture = ReadCapture(file);
  ASSERT_TRUE(capture.wholeRecords) << capture.problem;
  const std::vector<Bytes> captured = OfType(tarnexio_test::PacketsGoing(capture, BTSNOOP_FROM_CONTROLLER), 0x02);
  const std::vector<Bytes> received = OfType(r.received, 0x02);
  ASSERT_GE(captured.size(), received.size());
  EXPECT_TRUE(std::equal(received.begin(), received.end(), captured.begin()));
}

TEST(Capture, AFileThatCannotBeWrittenCostsOneLineAndTheTrafficGoesOn) {
  struct Case {
    const char* file;
    const char* start;  // of the line; the file name follows
    const char* end;    // of the line
  };
  // The lines name the file as the bridge was given it (under Wine, by its Windows name).
  const Case cases[] = {
      {"/nonexistent-tarnexio-dir/bridge.btsnoop", "BTFTM : Cannot create the btsnoop file ",
       "bridge.btsnoop (error 2), running without capture\n"},
  };
  for (const Case& c : cases) {
    LiveRun run("raw", {"--type", "1"}, {{"TARNEXIO_BTSNOOP", c.file}});
    ASSERT_TRUE(run.ready) << c.file << ": " << run.why;
    Recorder r{run.host.get(), false, {}, {}};
    r.Send(Hex("01 03 0c 00"));
    EXPECT_FALSE(r.ReceiveEvent(0x0E).empty()) << c.file;
    run.host->Close();
    ASSERT_EQ(run.bridge.child->WaitExit(), 0);
    EXPECT_EQ(run.bridge.child->Count(c.start), 1) << run.bridge.child->Output();
    EXPECT_EQ(run.bridge.child->Count(c.end), 1) << run.bridge.child->Output();
    EXPECT_EQ(run.bridge.child->Count("capture"), 1) << run.bridge.child->Output();
  }
}

TEST(Capture, TheSummaryAndTheCaptureCountWhatTheBridgeDroppedByCause) {
  TempDir files;
  const std::string file = files.path + "/drops.pcapng";
  LiveRun run("raw", {"--type", "1"}, {{"TARNEXIO_CAPTURE", file}});
  ASSERT_TRUE(run.ready) << run.why;
  Recorder r{run.host.get(), false, {}, {}};
  run.host->Send({0x09, 0x0A});  // two bytes that start no packet
  r.Send(Hex("01 03 0c 00"));
  ASSERT_FALSE(r.ReceiveEvent(0x0E).empty());
  Bytes tooLong = {0x02, 0x01, 0x00, 0xFF, 0x1F};  // more than the receive buffer holds
  tooLong.resize(5 + 0x1FFF, 0x11);
  run.host->Send(tooLong);
  r.Send(Hex("01 03 0c 00"));
  ASSERT_FALSE(r.ReceiveEvent(0x0E).empty());
  r.Drain();
  run.host->Close();
  ASSERT_EQ(run.bridge.child->WaitExit(), 0);
  EXPECT_TRUE(run.bridge.child->HasInOrder(
      {r.Summary("oversized 1, malformed 0, short reply 0, unknown type 2, no frame end 0, not sent 0, no memory 0",
                 true),
       kCleanUpLines.front()}))
      << run.bridge.child->Output();
  // The records after the drops carry them, and the end of the capture has them all.
  const Capture capture = ReadCapture(file);
  ASSERT_TRUE(capture.wholeRecords) << capture.problem;
  ASSERT_EQ(capture.packets.size(), 4u);
  EXPECT_EQ(capture.packets[0].dropsSoFar, 2u);
  EXPECT_EQ(capture.packets[3].dropsSoFar, 3u);
  EXPECT_TRUE(capture.statistics);
  EXPECT_EQ(capture.received, 4u);
  EXPECT_EQ(capture.dropped, 3u);
  if (!tarnexio_test::HaveProgram("tshark")) return;
  std::vector<std::string> counts;
  std::string problem;
  ASSERT_TRUE(tarnexio_test::DropCountsWithTshark(file, &counts, &problem)) << problem;
  EXPECT_EQ(counts, (std::vector<std::string>{"2", "2", "3", "3"})) << problem;
}

}  // namespace

namespace {

class CaptureOrder : public ::testing::TestWithParam<const char*> {};

// Events and ACL data come from two reader threads at once; the capture has them in the
// order the test host got them, run after run.
TEST_P(CaptureOrder, TheCaptureHasTheControllersPacketsInTheOrderTheHostReadThem) {
  const bool diag = std::string(GetParam()) == "diag";
  constexpr int kRuns = 20;
  int matched = 0;
  for (int i = 0; i < kRuns; ++i) {
    TempDir files;
    const std::string file = files.path + (i % 2 == 0 ? "/order.pcapng" : "/order.btsnoop");
    LiveRun run(GetParam(), {"--type", "1"}, {{"TARNEXIO_CAPTURE", file}});
    ASSERT_TRUE(run.ready) << "run " << i + 1 << " of " << kRuns << ": " << run.why;
    Recorder r{run.host.get(), diag, {}, {}};
    const uint16_t acl = r.OpenAcl();
    ASSERT_NE(acl, 0xFFFF);
    for (int k = 0; k < 8; ++k) {
      if (diag) {
        // The controller sends 8 packets of 16 bytes on the link, then completes the command.
        r.Send({0x01, 0x01, 0xFC, 0x07, uint8_t(acl), uint8_t(acl >> 8), 8, 0, 16, 0, uint8_t(k)});
      } else {
        for (int n = 0; n < 8; ++n) r.Send(AclOf(acl, 8 * k + n, size_t(16 + n)));
      }
      r.Send(Hex("01 09 10 00"));
    }
    // All of it, however slowly it comes (under Wine on a busy machine a pause of a few
    // hundred milliseconds between two packets is common).
    ASSERT_TRUE(r.ReceiveAll(64, 0x1009, 8)) << "run " << i + 1 << " of " << kRuns;
    r.Drain();
    run.host->Close();
    ASSERT_EQ(run.bridge.child->WaitExit(), 0);
    const Capture capture = ReadCapture(file);
    ASSERT_TRUE(capture.wholeRecords) << capture.problem;
    const std::vector<Bytes> captured = tarnexio_test::PacketsGoing(capture, BTSNOOP_FROM_CONTROLLER);
    ASSERT_EQ(OfType(r.received, 0x02).size(), 64u);
    EXPECT_EQ(captured, r.received) << "run " << i + 1 << " of " << kRuns;
    matched += captured == r.received;
  }
  EXPECT_EQ(matched, kRuns);
}

INSTANTIATE_TEST_SUITE_P(BothModes, CaptureOrder, ::testing::Values("raw", "diag"),
                         [](const ::testing::TestParamInfo<const char*>& test) { return std::string(test.param); });

}  // namespace
