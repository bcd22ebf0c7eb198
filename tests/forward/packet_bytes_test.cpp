// The byte work of the reader threads.
#include "forward/packet_bytes.h"

#include "diag/diag.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Type2Reply, EventStartsBehindTheFiveHeaderBytesAndShortRepliesHoldNone) {
  const struct {
    int replyBytes;
    int offset;
  } cases[] = {{0, -1}, {1, -1}, {4, -1}, {5, 5}, {6, 5}, {20, 5}, {262, 5}};
  for (const auto& c : cases) EXPECT_EQ(Type2EventOffset(c.replyBytes), c.offset) << c.replyBytes;
  // The largest event behind the header, and its headroom in front, fit the event buffer.
  EXPECT_LE(H4_HEADROOM + Type2EventOffset(wire::kEventReadSize) + 257, EVENT_BUFFER_SIZE);
}

TEST(AclLength, ComesFromTheLittleEndianDataLength) {
  BYTE packet[4] = {0x01, 0x20, 27, 0};
  EXPECT_EQ(AclPacketLength(packet, 4), 31);
  BYTE empty[4] = {0x01, 0x20, 0, 0};
  EXPECT_EQ(AclPacketLength(empty, 4), 4);
  BYTE largest[4] = {0x01, 0x20, 0x00, 0x04};
  EXPECT_EQ(AclPacketLength(largest, 4), 1028);
  EXPECT_TRUE(AclPacketFitsRead(1028));
  BYTE tooLong[4] = {0x01, 0x20, 0x01, 0x04};
  EXPECT_FALSE(AclPacketFitsRead(AclPacketLength(tooLong, 4)));
  BYTE huge[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(AclPacketLength(huge, 4), 65539);
  EXPECT_FALSE(AclPacketFitsRead(AclPacketLength(huge, 4)));
  // Fewer bytes than the header: no length is read.
  EXPECT_EQ(AclPacketLength(packet, 3), -1);
  EXPECT_EQ(AclPacketLength(packet, -1), -1);
}

// An SCO reply of three slots for unit u; each slot is given its data length, or -1
// for an empty slot.
std::vector<BYTE> ScoReply(int unit, int n0, int n1, int n2) {
  std::vector<BYTE> reply(9 * unit, 0);
  int lengths[3] = {n0, n1, n2};
  for (int i = 0; i < 3; ++i) {
    if (lengths[i] < 0) continue;
    BYTE* slot = reply.data() + i * 3 * unit;
    slot[0] = (BYTE)(0x10 + i);
    slot[1] = 0x00;
    slot[2] = (BYTE)lengths[i];
    for (int k = 0; k < lengths[i] && 3 + k < 3 * unit; ++k) slot[3 + k] = (BYTE)(i * 50 + k);
  }
  return reply;
}

TEST(ScoSlots, ThreeFullSlotsOfInterfaceOne) {
  std::vector<BYTE> reply = ScoReply(9, 24, 24, 24);
  for (int i = 0; i < 3; ++i) {
    ScoSlot slot = CutScoSlot(reply.data(), 81, 9, i);
    EXPECT_EQ(slot.state, SCO_SLOT_PACKET);
    EXPECT_EQ(slot.offset, 27 * i);
    EXPECT_EQ(slot.length, 27);
  }
}

TEST(ScoSlots, EmptyMiddleSlotAndHandleZeroWithData) {
  std::vector<BYTE> reply = ScoReply(9, 24, -1, 10);
  reply[54] = 0;  // slot 2 keeps handle 0 but has a length
  EXPECT_EQ(CutScoSlot(reply.data(), 81, 9, 0).state, SCO_SLOT_PACKET);
  EXPECT_EQ(CutScoSlot(reply.data(), 81, 9, 1).state, SCO_SLOT_EMPTY);
  ScoSlot last = CutScoSlot(reply.data(), 81, 9, 2);
  EXPECT_EQ(last.state, SCO_SLOT_PACKET);
  EXPECT_EQ(last.length, 13);
}

TEST(ScoSlots, InterfaceSixSlotIgnoresBytesAfterThePacket) {
  std::vector<BYTE> reply = ScoReply(63, 60, -1, -1);
  ScoSlot slot = CutScoSlot(reply.data(), 567, 63, 0);
  EXPECT_EQ(slot.state, SCO_SLOT_PACKET);
  EXPECT_EQ(slot.length, 63);
  EXPECT_EQ(CutScoSlot(reply.data(), 567, 63, 1).offset, 189);
}

TEST(ScoSlots, DataLengthLargerThanTheSlotIsRefused) {
  std::vector<BYTE> reply = ScoReply(9, 25, 24, 200);
  EXPECT_EQ(CutScoSlot(reply.data(), 81, 9, 0).state, SCO_SLOT_TOO_LONG);
  EXPECT_EQ(CutScoSlot(reply.data(), 81, 9, 1).state, SCO_SLOT_PACKET);
  ScoSlot last = CutScoSlot(reply.data(), 81, 9, 2);
  EXPECT_EQ(last.state, SCO_SLOT_TOO_LONG);
  EXPECT_EQ(last.length, 203);
}

TEST(ScoSlots, OnlyTheDeliveredBytesCount) {
  std::vector<BYTE> reply = ScoReply(9, 24, 24, 24);
  // The read delivered the first slot and the header plus part of the second.
  EXPECT_EQ(CutScoSlot(reply.data(), 40, 9, 0).state, SCO_SLOT_PACKET);
  EXPECT_EQ(CutScoSlot(reply.data(), 40, 9, 1).state, SCO_SLOT_TOO_LONG);
  EXPECT_EQ(CutScoSlot(reply.data(), 40, 9, 2).state, SCO_SLOT_ABSENT);
  EXPECT_EQ(CutScoSlot(reply.data(), 0, 9, 0).state, SCO_SLOT_ABSENT);
  // A short packet wholly inside the delivered part is kept.
  std::vector<BYTE> shortOne = ScoReply(9, 5, 24, 24);
  EXPECT_EQ(CutScoSlot(shortOne.data(), 8, 9, 0).state, SCO_SLOT_PACKET);
}

TEST(ScoSlots, OnlyAllThreeHeaderBytesZeroMakeAnEmptySlot) {
  std::vector<BYTE> reply = ScoReply(9, -1, -1, -1);
  reply[28] = 0xC0;  // slot 1: only the two reserved bits of its first field set
  reply[56] = 0x10;  // slot 2: only a packet status flag set
  EXPECT_EQ(CutScoSlot(reply.data(), 81, 9, 0).state, SCO_SLOT_EMPTY);
  EXPECT_EQ(CutScoSlot(reply.data(), 81, 9, 1).state, SCO_SLOT_PACKET);
  EXPECT_EQ(CutScoSlot(reply.data(), 81, 9, 1).length, 3);
  EXPECT_EQ(CutScoSlot(reply.data(), 81, 9, 2).state, SCO_SLOT_PACKET);
}

TEST(ScoSlots, UnitZeroCutsNothing) {
  std::vector<BYTE> reply = ScoReply(9, 24, 24, 24);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(CutScoSlot(reply.data(), 81, 0, i).state, SCO_SLOT_ABSENT);
}

}  // namespace
