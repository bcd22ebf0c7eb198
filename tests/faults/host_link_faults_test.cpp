// A test host that misbehaves: resets or half-closes the connection, or sends garbage
// before its valid packets.
#include "fault_support.h"
#include "tcp_queues.h"
#include "wire/diag_packets.h"

#include <gtest/gtest.h>

#include <random>

using namespace faults;

namespace {

void ExpectDisconnectPath(LiveRun& run) {
  EXPECT_EQ(run.bridge.child->WaitExit(Millis(10000)), 0);
  std::vector<std::string> lines = {"BTFTM : Client disconnected\n"};
  lines.insert(lines.end(), kCleanUpLines.begin(), kCleanUpLines.end());
  EXPECT_TRUE(run.bridge.child->HasInOrder(lines)) << run.bridge.child->Output();
}

TEST(HostLinkFaults, ResetEndsByTheDisconnectPathInBothModes) {
  for (const char* mode : {"raw", "diag"}) {
    SCOPED_TRACE(mode);
    LiveRun run(mode);
    ASSERT_TRUE(run.ready) << run.why;
    run.host->Reset();
    ExpectDisconnectPath(run);
  }
}

TEST(HostLinkFaults, ResetWithUnreadDataEndsByTheDisconnectPath) {
  // The controller has sent events the host never read when it resets.
  LiveRun run("raw");
  ASSERT_TRUE(run.ready) << run.why;
  for (int i = 0; i < 20; ++i) run.host->Send(Command(0x1009, {}));
  ASSERT_TRUE(run.bridge.child->WaitForOutput("BTFTM : HCIEvent(from btsoc)"));
  run.host->Reset();
  ExpectDisconnectPath(run);
}

TEST(HostLinkFaults, HalfCloseEndsByTheDisconnectPathInBothModes) {
  for (const char* mode : {"raw", "diag"}) {
    SCOPED_TRACE(mode);
    LiveRun run(mode);
    ASSERT_TRUE(run.ready) << run.why;
    run.host->HalfClose();
    ExpectDisconnectPath(run);
  }
}

TEST(HostLinkFaults, RawGarbageIsSkippedAndTheValidPacketsAfterItAreServed) {
  LiveRun run("raw");
  ASSERT_TRUE(run.ready) << run.why;
  std::mt19937 random(7);
  // Random bytes that are no packet type: each is reported and skipped.
  Bytes garbage;
  for (int i = 0; i < 3000; ++i) {
    uint8_t b = (uint8_t)random();
    garbage.push_back(b >= 1 && b <= 3 ? 0xA5 : b);
  }
  run.host->Send(garbage);
  // Commands the controller does not know, with random contents: each is answered.
  for (int i = 0; i < 20; ++i) {
    Bytes params(random() % 40);
    for (auto& b : params) b = (uint8_t)random();
    run.host->Send(Command((uint16_t)(0x0400 | (random() & 0x3FF)) ^ 0x2000, params));
  }
  // An ACL packet far too long for the receive buffer, sent whole: it is let go.
  run.host->Send(AclPacket(0x0001, Bytes(60000, 0x02)));
  // Then valid packets.
  run.host->Send(Command(0x0C03, {}));
  run.host->Send(Command(0x1009, {}));
  EXPECT_FALSE(ReceiveUntil(*run.host, [](const Bytes& p) { return IsCommandComplete(p, 0x0C03); }).empty());
  Bytes addr = ReceiveUntil(*run.host, [](const Bytes& p) { return IsCommandComplete(p, 0x1009); });
  ASSERT_EQ(addr.size(), 13u);
  EXPECT_EQ(addr, e2e::Hex("04 0e 0a 01 09 10 00 bc 9a 78 56 34 12"));
  EXPECT_TRUE(run.bridge.child->WaitForOutput("too long for the receive buffer"));
  // One line per stray byte: all of them, and (once the run is over) not one more.
  EXPECT_TRUE(run.bridge.child->WaitForCount("unknow HCI packet type", 3000));
  // And loop-back data still comes back whole.
  uint16_t handle = OpenAclLink(*run.host);
  ASSERT_NE(handle, 0xFFFF);
  Bytes data = {0x7E, 0x7D, 1, 2, 3};
  run.host->Send(AclPacket(handle, data));
  Bytes back = ReceiveUntil(*run.host, [](const Bytes& p) { return p[0] == 0x02; });
  EXPECT_EQ(Bytes(back.begin() + 5, back.end()), data);
  run.host->Close();
  EXPECT_EQ(run.bridge.child->WaitExit(), 0);
  EXPECT_EQ(run.bridge.child->CountAtEnd("unknow HCI packet type"), 3000);
}

TEST(HostLinkFaults, DiagGarbageIsAnsweredOrDroppedAndTheRequestsAfterItAreServed) {
  LiveRun run("diag");
  ASSERT_TRUE(run.ready) << run.why;
  std::mt19937 random(11);
  // More than the receive buffer without a flag: dropped with a line.
  Bytes noFlag(6000);
  for (auto& b : noFlag) b = (uint8_t)(random() % 0x7E);
  run.host->Send(noFlag);
  EXPECT_TRUE(run.bridge.child->WaitForOutput("No diag frame end in"));
  // Random blocks closed by a flag, one at a time: whatever they ask is answered or ignored.
  for (int i = 0; i < 30; ++i) {
    Bytes block(1 + random() % 300);
    for (auto& b : block) b = (uint8_t)random();
    block.push_back(0x7E);
    run.host->Send(block);
    ASSERT_TRUE(tarnexio_test::WaitPeerHasReadAll(run.host->fd()));  // each block in a receive of its own
  }
  // Let every answer to the garbage arrive, then throw it away.
  while (!run.host->Quiet(Millis(500))) run.host->Receive(1 << 20, Millis(100));
  // A valid request: the version reply, then an HCI command whose event comes back as a log packet.
  run.host->Send(e2e::EncodeFrame({0x00}, true));
  bool ok = false;
  Bytes version = e2e::DecodeFrame(run.host->ReceiveFrame(), &ok);
  EXPECT_TRUE(ok);
  ASSERT_FALSE(version.empty());
  EXPECT_EQ(version[0], 0x00);
  run.host->Send(DiagHciRequest({0x01, 0x09, 0x10, 0x00}));
  // The request comes back echoed first, its own flag inside the echo, so only whole
  // frames with a good FCS count.
  bool found = false;
  for (int i = 0; i < 10 && !found; ++i) {
    Bytes frame = e2e::DecodeFrame(run.host->ReceiveFrame(), &ok);
    LogPacketView log;
    if (!ok || ParseLogPacket(frame.data(), frame.size(), &log) != LOG_PACKET_OK) continue;
    found = log.code == LOG_CODE_EVENT &&
            Bytes(log.payload, log.payload + log.length) == e2e::Hex("0e 0a 01 09 10 00 bc 9a 78 56 34 12");
  }
  EXPECT_TRUE(found);
}

}  // namespace
