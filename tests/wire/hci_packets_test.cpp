// The typed views of HCI packets: every field where the Bluetooth Core puts it, and no
// view read from fewer bytes than its fields take. (fuzz_hci_packets tries any bytes.)
#include "wire/hci_packets.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

HciEvent EventOf(const Bytes& packet) {
  HciEvent event{};
  EXPECT_TRUE(ReadHciEvent(packet.data(), packet.size(), &event));
  return event;
}

const Bytes kConnection = {0x03, 0x0B, 0x00, 0x2B, 0x01, 1, 2, 3, 4, 5, 6, 0x00, 0x01};
const Bytes kSync = {0x2C, 0x11, 0x0D, 0x06, 0x00, 1, 2, 3, 4, 5, 6, 0x02, 0x0C, 0x04, 0x3C, 0x00, 0x78, 0x00, 0x60};
const Bytes kDisconnection = {0x05, 0x04, 0x00, 0x06, 0x00, 0x13};
const Bytes kCommandComplete = {0x0E, 0x0A, 0x01, 0x09, 0x10, 0x00, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
const Bytes kCompleted = {0x13, 0x09, 0x02, 0x2B, 0x01, 0x03, 0x00, 0x0C, 0x00, 0x00, 0x01};

TEST(HciPacketViews, FieldsOfEachEvent) {
  ConnectionComplete c{};
  ASSERT_TRUE(ReadConnectionComplete(EventOf(kConnection), &c));
  EXPECT_EQ(std::vector<int>({c.status, c.handle, c.peerAddress[0], c.linkType, c.encryptionEnabled}),
            std::vector<int>({0, 0x012B, 1, kLinkTypeSco, 1}));
  SyncConnectionComplete s{};
  ASSERT_TRUE(ReadSyncConnectionComplete(EventOf(kSync), &s));
  EXPECT_EQ(std::vector<int>({s.status, s.handle, s.peerAddress[5], s.linkType, s.transmissionInterval,
                              s.retransmissionWindow, s.rxPacketLength, s.txPacketLength, s.airMode}),
            std::vector<int>({0x0D, 6, 6, 2, 0x0C, 4, 60, 120, 0x60}));
  DisconnectionComplete d{};
  ASSERT_TRUE(ReadDisconnectionComplete(EventOf(kDisconnection), &d));
  EXPECT_EQ(std::vector<int>({d.status, d.handle, d.reason}), std::vector<int>({0, 6, 0x13}));
  CommandComplete cc{};
  ASSERT_TRUE(ReadCommandComplete(EventOf(kCommandComplete), &cc));
  EXPECT_EQ(std::vector<int>({cc.numCommandPackets, cc.opcode, (int)cc.returnLength, cc.returnParams[0]}),
            std::vector<int>({1, kOpReadBdAddr, 7, 0x00}));
  NumCompletedPackets n{};
  ASSERT_TRUE(ReadNumCompletedPackets(EventOf(kCompleted), &n));
  ASSERT_EQ(n.numHandles, 2);
  EXPECT_EQ(std::vector<int>({CompletedPacketsAt(n, 0).handle, CompletedPacketsAt(n, 0).count,
                              CompletedPacketsAt(n, 1).handle, CompletedPacketsAt(n, 1).count,
                              CompletedPacketsAt(n, 2).count}),
            std::vector<int>({0x012B, 3, 0x0C, 256, 0}));
}

// Each event read by every view: only its own view takes it, and with its parameter
// length one short of its fields (the bytes still there) none does.
TEST(HciPacketViews, EachViewTakesOnlyItsWholeEvent) {
  const Bytes* events[] = {&kConnection, &kSync, &kDisconnection, &kCommandComplete, &kCompleted};
  const uint8_t fields[] = {11, 17, 4, 3, 9};  // Command Complete: any return parameters
  auto taken = [](const HciEvent& e) {
    ConnectionComplete c;
    SyncConnectionComplete s;
    DisconnectionComplete d;
    CommandComplete cc;
    NumCompletedPackets n;
    return std::vector<bool>{ReadConnectionComplete(e, &c), ReadSyncConnectionComplete(e, &s),
                             ReadDisconnectionComplete(e, &d), ReadCommandComplete(e, &cc),
                             ReadNumCompletedPackets(e, &n)};
  };
  for (size_t k = 0; k < 5; ++k) {
    std::vector<bool> expected(5, false);
    expected[k] = true;
    EXPECT_EQ(taken(EventOf(*events[k])), expected) << "event " << k;
    Bytes shorter = *events[k];
    shorter[1] = uint8_t(fields[k] - 1);
    EXPECT_EQ(taken(EventOf(shorter)), std::vector<bool>(5, false)) << "event " << k << " one byte short";
  }
  // The event itself is refused when its length byte claims more than there is.
  HciEvent event{};
  EXPECT_FALSE(ReadHciEvent(kDisconnection.data(), 5, &event));
  EXPECT_FALSE(ReadHciEvent(kDisconnection.data(), 1, &event));
  EXPECT_FALSE(ReadHciEvent(nullptr, 6, &event));
}

TEST(HciPacketViews, DataHeadersSplitHandleFlagsAndLength) {
  const Bytes acl = {0xFF, 0xE1, 0x00, 0x04};
  AclHeader a{};
  ASSERT_TRUE(ReadAclHeader(acl.data(), 4, &a));
  EXPECT_EQ(std::vector<int>({a.handle, a.packetBoundary, a.broadcast, a.dataLength}),
            std::vector<int>({0x01FF, 2, 3, 1024}));
  EXPECT_FALSE(ReadAclHeader(acl.data(), 3, &a));
  const Bytes sco = {0x06, 0xE0, 0x3C};
  ScoHeader s{};
  ASSERT_TRUE(ReadScoHeader(sco.data(), 3, &s));
  EXPECT_EQ(std::vector<int>({s.handle, s.packetStatus, s.reserved, s.dataLength}), std::vector<int>({6, 2, 3, 60}));
  EXPECT_FALSE(ReadScoHeader(sco.data(), 2, &s));
}

}  // namespace
