// Raw mode end to end: a test host on TCP, the bridge, ftmd's simulated controller.
#include "harness.h"
#include "tcp_queues.h"

#include <csignal>
#include <gtest/gtest.h>

using namespace e2e;

namespace {

const Bytes kReset = Hex("01 03 0c 00");

// An H4 SCO packet of n data bytes, each fill.
Bytes ScoPacketOf(uint16_t handle, int n, uint8_t fill) { return ScoPacket(handle, Bytes((size_t)n, fill)); }

TEST(RawMode, ResetGetsCommandCompleteBehind04) {
  LiveRun run("raw");
  run.host->Send(kReset);
  Bytes cc = ReceiveUntil(*run.host, [](const Bytes& p) { return IsCommandComplete(p, 0x0C03); });
  ASSERT_EQ(cc.size(), 7u);
  EXPECT_EQ(cc[6], 0x00);  // status
  EXPECT_TRUE(run.bridge.child->WaitForOutput("BTFTM: HCI cmd(to btsoc)(3):03 0c 00 \n"));
  EXPECT_TRUE(run.bridge.child->WaitForOutput("\nBTFTM : HCIEvent(from btsoc) [6]: 0e 04 01 03 0c 00 \n"));
}

TEST(RawMode, PacketsInOneSendAndSplitOverSendsAreEachWrittenOnce) {
  LiveRun run("raw");
  Bytes two = kReset;
  Bytes readAddr = Hex("01 09 10 00");
  two.insert(two.end(), readAddr.begin(), readAddr.end());
  run.host->Send(two);
  EXPECT_FALSE(ReceiveUntil(*run.host, [](const Bytes& p) { return IsCommandComplete(p, 0x0C03); }).empty());
  EXPECT_FALSE(ReceiveUntil(*run.host, [](const Bytes& p) { return IsCommandComplete(p, 0x1009); }).empty());

  // One command in three sends, each read by the bridge before the next goes, so that
  // each arrives in a receive of its own.
  Bytes scan = Hex("01 1a 0c 01 03");
  run.host->Send(Bytes(scan.begin(), scan.begin() + 1));
  ASSERT_TRUE(tarnexio_test::WaitPeerHasReadAll(run.host->fd()));
  run.host->Send(Bytes(scan.begin() + 1, scan.begin() + 3));
  ASSERT_TRUE(tarnexio_test::WaitPeerHasReadAll(run.host->fd()));
  run.host->Send(Bytes(scan.begin() + 3, scan.end()));
  EXPECT_FALSE(ReceiveUntil(*run.host, [](const Bytes& p) { return IsCommandComplete(p, 0x0C1A); }).empty());
  EXPECT_TRUE(run.bridge.child->WaitForOutput("BTFTM: HCI cmd(to btsoc)(4):1a 0c 01 03 \n"));
  EXPECT_EQ(run.bridge.child->Count("BTFTM: HCI cmd(to btsoc)(4):1a 0c 01 03 \n"), 1);
  EXPECT_EQ(run.bridge.child->Count("unknow HCI packet type"), 0);
}

void AclLoopback(const std::vector<std::string>& ftmdOptions, int packets) {
  LiveRun run("raw", ftmdOptions);
  uint16_t handle = OpenAclLink(*run.host);
  ASSERT_NE(handle, 0xFFFF);
  std::thread sender([&] {
    for (int i = 0; i < packets; ++i) {
      Bytes acl = {0x02, (uint8_t)(handle & 0xFF), (uint8_t)(handle >> 8), 8, 0};
      for (int b = 0; b < 4; ++b) acl.push_back((uint8_t)(i >> (8 * b)));
      for (int b = 0; b < 4; ++b) acl.push_back((uint8_t)(0x7D + b));
      run.host->Send(acl);
    }
  });
  int next = 0;
  while (next < packets) {
    Bytes p = ReceiveUntil(*run.host, [](const Bytes& q) { return q[0] == 0x02; });
    if (p.empty() || p.size() != 13u) break;
    EXPECT_EQ(p[1] | ((p[2] & 0x0F) << 8), handle);
    int seq = p[5] | (p[6] << 8) | (p[7] << 16) | (p[8] << 24);
    if (seq != next) break;  // lost or reordered: counted below
    EXPECT_EQ(p[9], 0x7D);
    EXPECT_EQ(p[12], 0x80);
    ++next;
  }
  sender.join();
  EXPECT_EQ(next, packets) << "packets came back in order up to here";
  const std::string count = std::to_string(packets);
  EXPECT_TRUE(run.bridge.child->WaitForOutput("BTFTM: Sent #" + count + " ACL packet to btsoc, length is: 12\n"));
  EXPECT_TRUE(
      run.bridge.child->WaitForOutput("\nBTFTM : Received #" + count + " ACL packet from btsoc, length is: 12\n"));
}

// With lanes (ftmd's default) and over the device connection alone, as with a driver that
// offers none (fewer packets: the same paths, in half the time under the sanitizers).
TEST(RawMode, AclDataIsLoopedBackBehind02InOrder) {
  AclLoopback({"--type", "1"}, 10000);
  SCOPED_TRACE("without lanes");
  AclLoopback({"--type", "1", "--no-lanes"}, 2000);
}

TEST(RawMode, ScoPacketsSelectTheirInterfaceAndComeBackBehind03) {
  LiveRun run("raw");
  uint16_t handle = OpenScoLink(*run.host);
  ASSERT_NE(handle, 0xFFFF);
  const int dataLengths[] = {24, 48, 72, 96, 144, 60};
  for (int n : dataLengths) {
    for (int k = 0; k < 3; ++k) {
      run.host->Send(ScoPacketOf(handle, n, (uint8_t)(n + k)));
    }
    for (int k = 0; k < 3; ++k) {
      Bytes p = ReceiveUntil(*run.host, [](const Bytes& q) { return q[0] == 0x03; });
      ASSERT_EQ(p.size(), (size_t)n + 4) << n;
      EXPECT_EQ(p[3], n);
      EXPECT_EQ(p[4], (uint8_t)(n + k));
    }
  }
  // Every selection's line was printed before its packet went out; the lines may still be
  // on their way from the bridge's output.
  EXPECT_TRUE(run.bridge.child->WaitForCount("SelectScoInf: Select SCO Inf happened synchronously, dwError is 0\n", 6));
  std::string out = run.bridge.child->Output();
  EXPECT_EQ(run.bridge.child->Count("SelectScoInf: Select SCO Inf happened synchronously, dwError is 0\n"), 6);
  EXPECT_EQ(out.find("Invalid sco hciLen"), std::string::npos);
}

TEST(RawMode, UnlistedScoSizeIsStillWritten) {
  LiveRun run("raw");
  uint16_t handle = OpenScoLink(*run.host);
  ASSERT_NE(handle, 0xFFFF);
  run.host->Send(ScoPacketOf(handle, 30, 0x55));
  EXPECT_TRUE(run.bridge.child->WaitForOutput("BTFTM: Invalid sco hciLen 33"));
  // Written, yet no interface was selected, so nothing is read back.
  run.host->Send(kReset);
  EXPECT_FALSE(ReceiveUntil(*run.host, [](const Bytes& p) { return IsCommandComplete(p, 0x0C03); }).empty());
  // The write did not fail: its only line, if any, is that of a write completed at once.
  // The receive loop prints it before the reset's line, so both are in once that one is.
  ASSERT_TRUE(run.bridge.child->WaitForOutput("BTFTM: HCI cmd(to btsoc)(3):03 0c 00 \n"));
  const std::string out = run.bridge.child->Output();
  EXPECT_EQ(tarnexio_test::Occurrences(out, "SendScoData:"),
            tarnexio_test::Occurrences(out, "SendScoData: SCO write happened synchronously, dwError=0\n"))
      << out;
}

TEST(RawMode, DisconnectionOfTheScoLinkClosesTheGate) {
  LiveRun run("raw");
  uint16_t handle = OpenScoLink(*run.host);
  ASSERT_NE(handle, 0xFFFF);
  run.host->Send(ScoPacketOf(handle, 24, 0x11));
  ASSERT_FALSE(ReceiveUntil(*run.host, [](const Bytes& q) { return q[0] == 0x03; }).empty());
  run.host->Send({0x01, 0x06, 0x04, 0x03, (uint8_t)(handle & 0xFF), (uint8_t)(handle >> 8), 0x13});
  // Disconnection Complete: an event, not SCO data whose handle starts with 05.
  ASSERT_FALSE(ReceiveUntil(*run.host, [](const Bytes& p) { return p[0] == 0x04 && p[1] == 0x05; }).empty());
  char line[64];
  snprintf(line, sizeof line, "Sco connection 0x%02x is disconnected\n", handle);
  EXPECT_TRUE(run.bridge.child->WaitForOutput(line));
  EXPECT_TRUE(run.bridge.child->WaitForOutput("SelectScoInf: Select SCO Inf happened synchronously, dwError is 0\n"));
}

TEST(RawMode, Type2DriverServesEventsWithOnlyTheEventReader) {
  LiveRun run("raw", {"--type", "2"});
  run.host->Send(kReset);
  EXPECT_FALSE(ReceiveUntil(*run.host, [](const Bytes& p) { return IsCommandComplete(p, 0x0C03); }).empty());
  EXPECT_TRUE(run.bridge.child->WaitForOutput("BTFTM: READ:returned 11 bytes\n"));
}

TEST(RawMode, ASecondTestHostIsRefusedAtOnce) {
  LiveRun run("raw");
  TestHost second(run.bridge.port, Millis(1));  // one attempt
  EXPECT_FALSE(second.connected());
  run.host->Send(kReset);
  EXPECT_FALSE(ReceiveUntil(*run.host, [](const Bytes& p) { return IsCommandComplete(p, 0x0C03); }).empty());
  EXPECT_EQ(run.bridge.child->Count("BTFTM : Ethernet Connected!\n"), 1);
  run.host->Close();
  EXPECT_EQ(run.bridge.child->WaitExit(), 0);
  EXPECT_EQ(run.bridge.child->Count("BTFTM : Ethernet Connected!\n"), 1);
}

TEST(RawMode, DisconnectEndsTheRunWithTheCleanUp) {
  LiveRun run("raw");
  run.host->Close();
  EXPECT_EQ(run.bridge.child->WaitExit(), 0);
  std::string out = run.bridge.child->Output();
  EXPECT_NE(out.find("BTFTM : Client disconnected\n"), std::string::npos);
  EXPECT_TRUE(run.bridge.child->HasInOrder({"BTFTM : Client disconnected\n", "BTFTM : Cleaning all resources\n",
                                              "BTFTM : All resources are freed\n",
                                              "BTFTM : Coming out of main loop\n"}))
      << out;
}

}  // namespace
