// HCI capture end to end: with TARNEXIO_BTSNOOP the bridge records what the test host sent
// and received, packet for packet, as ftmd --btsnoop does at the controller side; the
// run summary counts the same. Files that cannot be written cost one line.
#include "capture_check.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sys/socket.h>
#include <thread>

using namespace e2e;
using tarnexio_test::Capture;
using tarnexio_test::ReadCapture;

namespace {

// A test host that keeps every HCI packet it sends and receives, as H4 packets.
struct Recorder {
  TestHost* host;  // nullptr when the run did not start
  bool diag;
  std::vector<Bytes> sent;
  std::vector<Bytes> received;

  void Send(const Bytes& h4) {
    sent.push_back(h4);
    if (host != nullptr) host->Send(diag ? DiagHciRequest(h4) : h4);
  }
  // The next controller packet; empty on timeout. In diag mode the log packets are
  // unwrapped and every other frame is let go.
  Bytes Receive(Millis timeout = Millis(5000)) {
    if (host == nullptr) return {};
    for (;;) {
      Bytes packet;
      if (!diag) {
        packet = host->ReceiveH4(timeout);
      } else {
        const Bytes frame = host->ReceiveFrame(timeout);
        if (frame.empty()) return {};
        // The echo of a request is not escaped and holds the request's own flag: it
        // arrives in pieces that do not check. Log packets are escaped and always do.
        bool ok = false;
        const Bytes log = DecodeFrame(frame, &ok);
        if (!ok || log.size() < 16 || log[0] != 0x10) continue;
        packet = {log[15]};  // the tag's high byte is the H4 type
        packet.insert(packet.end(), log.begin() + 16, log.end());
      }
      if (!packet.empty()) received.push_back(packet);
      return packet;
    }
  }
  Bytes ReceiveUntil(const std::function<bool(const Bytes&)>& pred) {
    for (int i = 0; i < 100; ++i) {
      Bytes p = Receive();
      if (p.empty() || pred(p)) return p;
    }
    return {};
  }
  Bytes ReceiveEvent(uint8_t code) {
    return ReceiveUntil([code](const Bytes& p) { return p[0] == 0x04 && p[1] == code; });
  }
  // Opens an ACL link; its handle, or 0xFFFF.
  uint16_t OpenAcl() {
    Send(Hex("01 05 04 0d 11 22 33 44 55 66 18 cc 01 00 00 00 01"));
    const Bytes done = ReceiveEvent(0x03);
    return done.size() >= 6 && done[3] == 0 ? uint16_t(done[4] | done[5] << 8) : 0xFFFF;
  }
  // Takes what is still on its way until the link has been quiet for a while.
  void Drain() {
    while (!Receive(Millis(300)).empty()) {
    }
  }
  // The summary line these packets make; with a capture, all of it up to the file's name.
  std::string Summary(const std::string& drops, bool captured = false) const {
    unsigned long long kinds[6] = {}, bytes[2] = {};
    for (const Bytes& p : sent) {
      kinds[p[0] == 0x01 ? 0 : p[0] == 0x02 ? 2 : 4]++;
      bytes[0] += p.size();
    }
    for (const Bytes& p : received) {
      kinds[p[0] == 0x04 ? 1 : p[0] == 0x02 ? 3 : 5]++;
      bytes[1] += p.size();
    }
    return "BTFTM : Run summary: commands " + std::to_string(kinds[0]) + ", events " + std::to_string(kinds[1]) +
           ", ACL to controller " + std::to_string(kinds[2]) + ", ACL from controller " + std::to_string(kinds[3]) +
           ", SCO to controller " + std::to_string(kinds[4]) + ", SCO from controller " + std::to_string(kinds[5]) +
           ", bytes to controller " + std::to_string(bytes[0]) + ", bytes from controller " +
           std::to_string(bytes[1]) + "; dropped: " + drops + (captured ? "; capture " : "\n");
  }
};

// The packets of one H4 type, in their order. Packets of different reader threads may be
// captured in one order and sent in the other; those of one type never are.
std::vector<Bytes> OfType(const std::vector<Bytes>& packets, uint8_t type) {
  std::vector<Bytes> out;
  for (const Bytes& p : packets)
    if (p[0] == type) out.push_back(p);
  return out;
}

// The controller's packets in a capture match what the test host received, type by type.
void ExpectReceived(const Capture& capture, const std::vector<Bytes>& received, const std::string& file) {
  const std::vector<Bytes> captured = tarnexio_test::PacketsGoing(capture, BTSNOOP_FROM_CONTROLLER);
  EXPECT_EQ(captured.size(), received.size()) << file;
  for (uint8_t type : {0x02, 0x03, 0x04}) EXPECT_EQ(OfType(captured, type), OfType(received, type)) << file;
}

const char* const kNoDrops =
    "oversized 0, malformed 0, short reply 0, unknown type 0, no frame end 0, not sent 0, no memory 0";

Bytes AclOf(uint16_t handle, int sequence, size_t length) {
  Bytes p = {0x02, uint8_t(handle), uint8_t(handle >> 8), uint8_t(length), uint8_t(length >> 8)};
  for (size_t i = 0; i < length; ++i) p.push_back(uint8_t(sequence + i));
  return p;
}

// The traffic of one run: commands and their events for every driver type; ACL data each
// way for a type 1 driver (looped back in raw mode, made by the controller in diag mode,
// where the test host sends no data); SCO each way in raw mode.
void Exchange(Recorder& r, int driverType) {
  r.Send(Hex("01 03 0c 00"));
  ASSERT_FALSE(r.ReceiveEvent(0x0E).empty());
  r.Send(Hex("01 09 10 00"));
  ASSERT_FALSE(r.ReceiveEvent(0x0E).empty());
  if (driverType == 2) return;
  const uint16_t acl = r.OpenAcl();
  ASSERT_NE(acl, 0xFFFF);
  if (r.diag) {
    // The controller's vendor command sends data on the link: 2 packets of 16 bytes of 7D.
    r.Send({0x01, 0x01, 0xFC, 0x07, uint8_t(acl), uint8_t(acl >> 8), 2, 0, 16, 0, 0x7D});
    for (int i = 0; i < 2; ++i) ASSERT_FALSE(r.ReceiveUntil([](const Bytes& p) { return p[0] == 0x02; }).empty());
    return;
  }
  for (int i = 0; i < 3; ++i) {
    r.Send(AclOf(acl, i, size_t(10 + 300 * i)));
    ASSERT_FALSE(r.ReceiveUntil([](const Bytes& p) { return p[0] == 0x02; }).empty());
  }
  Bytes setup = Hex("01 28 04 11 00 00 40 1f 00 00 40 1f 00 00 ff ff 60 00 ff 3f 00");
  setup[4] = uint8_t(acl), setup[5] = uint8_t(acl >> 8);
  r.Send(setup);
  const Bytes sco = r.ReceiveEvent(0x2C);
  ASSERT_GE(sco.size(), 6u);
  Bytes data = {0x03, sco[4], sco[5], 48};
  data.resize(4 + 48, 0x5C);
  r.Send(data);
  ASSERT_FALSE(r.ReceiveUntil([](const Bytes& p) { return p[0] == 0x03; }).empty());
}

struct Mode {
  const char* mode;
  int driverType;
};

class CaptureRun : public ::testing::TestWithParam<Mode> {};

TEST_P(CaptureRun, TheCapturesHoldWhatTheTestHostSentAndReceivedAndTheSummaryCountsIt) {
  const Mode m = GetParam();
  TempDir files;
  const std::string bridgeFile = files.path + "/bridge.btsnoop", ftmdFile = files.path + "/ftmd.btsnoop";
  for (const std::string& file : {bridgeFile, ftmdFile}) {
    std::ofstream(file) << "an older file, longer than a btsnoop header, that each capture replaces";
  }
  LiveRun run(m.mode, {"--type", std::to_string(m.driverType), "--btsnoop", ftmdFile},
              {{"TARNEXIO_BTSNOOP", bridgeFile}});
  ASSERT_TRUE(run.ready);
  EXPECT_TRUE(run.bridge.child->WaitForOutput("BTFTM : Capturing HCI packets to "));
  Recorder r{run.host.get(), std::string(m.mode) == "diag", {}, {}};
  Exchange(r, m.driverType);
  r.Drain();
  run.host->Close();
  ASSERT_EQ(run.bridge.child->WaitExit(), 0);
  EXPECT_TRUE(run.bridge.child->HasInOrder({r.Summary(kNoDrops, true), "bridge.btsnoop\n", kCleanUpLines.front()}))
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
    if (!tarnexio_test::HaveProgram("btmon")) continue;
    ASSERT_TRUE(tarnexio_test::DecodeWithBtmon(file, &text)) << text;
    EXPECT_NE(text.find("HCI Command: Reset"), std::string::npos) << text;
    EXPECT_NE(text.find("HCI Event: Command Complete"), std::string::npos) << text;
    if (m.driverType == 1) {
      EXPECT_NE(text.find("ACL Data RX"), std::string::npos) << text;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BothModesBothDrivers, CaptureRun,
                         ::testing::Values(Mode{"raw", 1}, Mode{"raw", 2}, Mode{"diag", 1}, Mode{"diag", 2}),
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
  std::thread sender([&] {
    for (const Bytes& p : toSend) run.host->Send(p);
  });
  int acls = 0;
  while (acls < kPackets) {
    const Bytes p = r.Receive();
    if (p.empty()) break;
    acls += p[0] == 0x02;
  }
  sender.join();
  r.sent.insert(r.sent.end(), toSend.begin(), toSend.end());
  r.Drain();
  EXPECT_EQ(acls, kPackets);
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
    for (int i = 0; !stop; ++i) run.host->Send(AclOf(acl, i, 64));
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
    ASSERT_TRUE(run.ready) << c.file;
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

TEST(Capture, TheSummaryCountsWhatTheBridgeDroppedByCause) {
  LiveRun run("raw", {"--type", "1"});
  ASSERT_TRUE(run.ready);
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
      {r.Summary("oversized 1, malformed 0, short reply 0, unknown type 2, no frame end 0, not sent 0, no memory 0"),
       kCleanUpLines.front()}))
      << run.bridge.child->Output();
}

}  // namespace
