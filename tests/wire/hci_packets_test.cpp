// The typed views of HCI packets: every field where the Bluetooth Core puts it, and no
// view read from fewer bytes than its fields take.
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

const Bytes kConnectionComplete = {0x03, 0x0B, 0x00, 0x2B, 0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x00, 0x01};
const Bytes kSyncConnectionComplete = {0x2C, 0x11, 0x0D, 0x06, 0x00, 1, 2, 3, 4, 5, 6,
                                       0x02, 0x0C, 0x04, 0x3C, 0x00, 0x78, 0x00, 0x60};
const Bytes kDisconnectionComplete = {0x05, 0x04, 0x00, 0x06, 0x00, 0x13};
const Bytes kCommandComplete = {0x0E, 0x0A, 0x01, 0x09, 0x10, 0x00, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
const Bytes kCompletedPackets = {0x13, 0x09, 0x02, 0x2B, 0x01, 0x03, 0x00, 0x0C, 0x00, 0x00, 0x01};

TEST(HciPacketViews, FieldsOfEachEvent) {
  ConnectionComplete connection{};
  ASSERT_TRUE(ReadConnectionComplete(EventOf(kConnectionComplete), &connection));
  EXPECT_EQ(connection.status, 0x00);
  EXPECT_EQ(connection.handle, 0x012B);
  EXPECT_EQ(connection.peerAddress, kConnectionComplete.data() + 5);
  EXPECT_EQ(connection.linkType, kLinkTypeSco);
  EXPECT_EQ(connection.encryptionEnabled, 0x01);

  SyncConnectionComplete sync{};
  ASSERT_TRUE(ReadSyncConnectionComplete(EventOf(kSyncConnectionComplete), &sync));
  EXPECT_EQ(sync.status, 0x0D);
  EXPECT_EQ(sync.handle, 0x0006);
  EXPECT_EQ(sync.peerAddress[5], 6);
  EXPECT_EQ(sync.linkType, 0x02);
  EXPECT_EQ(sync.transmissionInterval, 0x0C);
  EXPECT_EQ(sync.retransmissionWindow, 0x04);
  EXPECT_EQ(sync.rxPacketLength, 60);
  EXPECT_EQ(sync.txPacketLength, 120);
  EXPECT_EQ(sync.airMode, 0x60);

  DisconnectionComplete end{};
  ASSERT_TRUE(ReadDisconnectionComplete(EventOf(kDisconnectionComplete), &end));
  EXPECT_EQ(end.status, 0x00);
  EXPECT_EQ(end.handle, 0x0006);
  EXPECT_EQ(end.reason, 0x13);

  CommandComplete complete{};
  ASSERT_TRUE(ReadCommandComplete(EventOf(kCommandComplete), &complete));
  EXPECT_EQ(complete.numCommandPackets, 1);
  EXPECT_EQ(complete.opcode, kOpReadBdAddr);
  EXPECT_EQ(complete.returnLength, 7u);
  EXPECT_EQ(complete.returnParams, kCommandComplete.data() + 5);

  NumCompletedPackets completed{};
  ASSERT_TRUE(ReadNumCompletedPackets(EventOf(kCompletedPackets), &completed));
  ASSERT_EQ(completed.numHandles, 2);
  EXPECT_EQ(CompletedPacketsAt(completed, 0).handle, 0x012B);
  EXPECT_EQ(CompletedPacketsAt(completed, 0).count, 3);
  EXPECT_EQ(CompletedPacketsAt(completed, 1).handle, 0x000C);
  EXPECT_EQ(CompletedPacketsAt(completed, 1).count, 256);
  EXPECT_EQ(CompletedPacketsAt(completed, 2).count, 0) << "past the last pair";
  EXPECT_EQ(CompletedPacketsAt(completed, -1).count, 0);
}

// Each event read by every view: only its own view takes it, and with its parameter
// length one short of its fields (the bytes still there) none does.
TEST(HciPacketViews, EachViewTakesOnlyItsWholeEvent) {
  const Bytes* events[] = {&kConnectionComplete, &kSyncConnectionComplete, &kDisconnectionComplete,
                           &kCommandComplete, &kCompletedPackets};
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
    // Command Complete needs three bytes but takes any return parameters; Number Of
    // Completed Packets needs four per handle it names.
    Bytes shorter = *events[k];
    const size_t fields[] = {11, 17, 4, 3, 9};
    shorter[1] = uint8_t(fields[k] - 1);
    EXPECT_EQ(taken(EventOf(shorter)), std::vector<bool>(5, false)) << "event " << k << " one byte short";
  }
}

TEST(HciPacketViews, AnEventIsReadOnlyWhenAllItsParametersAreThere) {
  HciEvent event{};
  EXPECT_FALSE(ReadHciEvent(kDisconnectionComplete.data(), 0, &event));
  EXPECT_FALSE(ReadHciEvent(kDisconnectionComplete.data(), 1, &event));
  EXPECT_FALSE(ReadHciEvent(kDisconnectionComplete.data(), 5, &event)) << "the length byte claims 4 parameters";
  EXPECT_FALSE(ReadHciEvent(nullptr, 6, &event));
  ASSERT_TRUE(ReadHciEvent(kDisconnectionComplete.data(), 6, &event));
  EXPECT_EQ(event.code, kEvDisconnectionComplete);
  EXPECT_EQ(event.paramLength, 4);
  EXPECT_EQ(event.params, kDisconnectionComplete.data() + 2);
  const Bytes empty = {0x10, 0x00};
  ASSERT_TRUE(ReadHciEvent(empty.data(), empty.size(), &event));
  EXPECT_EQ(event.paramLength, 0);
}

TEST(HciPacketViews, DataHeadersSplitHandleFlagsAndLength) {
  struct Case {
    Bytes header;
    uint16_t handle;
    uint8_t flags;   // PB, or the SCO packet status
    uint8_t high;    // BC, or the SCO reserved bits
    uint16_t length;
  } acl[] = {
      {{0x2B, 0x21, 0x1B, 0x00}, 0x012B, 2, 0, 27},
      {{0xFF, 0xFF, 0x00, 0x04}, 0x0FFF, 3, 3, 1024},
      {{0x01, 0x10, 0xFF, 0xFF}, 0x0001, 1, 0, 0xFFFF},
  };
  for (const Case& c : acl) {
    AclHeader h{};
    ASSERT_TRUE(ReadAclHeader(c.header.data(), c.header.size(), &h));
    EXPECT_EQ(h.handle, c.handle);
    EXPECT_EQ(h.packetBoundary, c.flags);
    EXPECT_EQ(h.broadcast, c.high);
    EXPECT_EQ(h.dataLength, c.length);
    EXPECT_FALSE(ReadAclHeader(c.header.data(), 3, &h));
  }
  ScoHeader sco{};
  const Bytes scoHeader = {0x06, 0xE0, 0x3C};
  ASSERT_TRUE(ReadScoHeader(scoHeader.data(), 3, &sco));
  EXPECT_EQ(sco.handle, 0x0006);
  EXPECT_EQ(sco.packetStatus, 2);
  EXPECT_EQ(sco.reserved, 3);
  EXPECT_EQ(sco.dataLength, 60);
  EXPECT_FALSE(ReadScoHeader(scoHeader.data(), 2, &sco));
  EXPECT_FALSE(ReadScoHeader(nullptr, 3, &sco));
}

}  // namespace
