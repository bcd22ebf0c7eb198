// The byte work of the reader threads.
#include "forward/packet_bytes.h"

#include "diag/diag.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

TEST(H4Framing, PutsTheTypeInFrontOfTheWholePacket) {
  BYTE buffer[8] = {0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00, 0xAA, 0xAA};
  EXPECT_EQ(PrependH4Type(buffer, 6, H4_TYPE_EVENT), 7);
  const BYTE expected[] = {0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00, 0xAA};
  EXPECT_EQ(0, memcmp(buffer, expected, sizeof(expected)));
}

TEST(H4Framing, LargestEventFitsTheEventBuffer) {
  BYTE buffer[EVENT_BUFFER_SIZE] = {0x3E, 0xFF};
  buffer[256] = 0x77;
  ASSERT_EQ(HciEventLength(buffer), 257);
  EXPECT_EQ(PrependH4Type(buffer, 257, H4_TYPE_EVENT), 258);
  EXPECT_EQ(buffer[0], 0x04);
  EXPECT_EQ(buffer[1], 0x3E);
  EXPECT_EQ(buffer[257], 0x77);
}

TEST(Type2Reply, EventStartsAfterTheFiveHeaderBytes) {
  std::vector<BYTE> reply(20, 0);
  reply[5] = 0x0E;
  reply[6] = 13;
  for (int i = 7; i < 20; ++i) reply[i] = (BYTE)i;
  BYTE event[EVENT_BUFFER_SIZE] = {};
  EXPECT_EQ(UnpackType2Reply(reply.data(), 20, event, EVENT_BUFFER_SIZE), 15);
  EXPECT_EQ(HciEventLength(event), 15);
  EXPECT_EQ(0, memcmp(event, reply.data() + 5, 15));
  EXPECT_EQ(event[15], 0);
}

TEST(Type2Reply, HeaderOnlyGivesAnEmptyEventAndShortRepliesAreRefused) {
  BYTE reply[5] = {1, 2, 3, 4, 5};
  BYTE event[EVENT_BUFFER_SIZE] = {};
  EXPECT_EQ(UnpackType2Reply(reply, 5, event, EVENT_BUFFER_SIZE), 0);
  EXPECT_EQ(HciEventLength(event), 2);
  for (int n = 0; n < 5; ++n) {
    memset(event, 0x55, sizeof(event));
    EXPECT_EQ(UnpackType2Reply(reply, n, event, EVENT_BUFFER_SIZE), -1) << n;
    EXPECT_EQ(event[0], 0x55) << "nothing may be copied for " << n;
  }
}

TEST(Type2Reply, NeverWritesPastTheEventCapacity) {
  std::vector<BYTE> reply(300, 0xAB);
  BYTE event[20];
  memset(event, 0, sizeof(event));
  EXPECT_EQ(UnpackType2Reply(reply.data(), 300, event, 10), 10);
  EXPECT_EQ(event[9], 0xAB);
  EXPECT_EQ(event[10], 0);
}

TEST(AclLength, ComesFromTheLittleEndianDataLength) {
  BYTE packet[4] = {0x01, 0x20, 27, 0};
  EXPECT_EQ(AclPacketLength(packet), 31);
  BYTE empty[4] = {0x01, 0x20, 0, 0};
  EXPECT_EQ(AclPacketLength(empty), 4);
  BYTE largest[4] = {0x01, 0x20, 0x00, 0x04};
  EXPECT_EQ(AclPacketLength(largest), 1028);
  EXPECT_TRUE(AclPacketFitsRead(1028));
  BYTE tooLong[4] = {0x01, 0x20, 0x01, 0x04};
  EXPECT_FALSE(AclPacketFitsRead(AclPacketLength(tooLong)));
  BYTE huge[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(AclPacketLength(huge), 65539);
  EXPECT_FALSE(AclPacketFitsRead(AclPacketLength(huge)));
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

TEST(ScoSlots, UnitZeroCutsNothing) {
  std::vector<BYTE> reply = ScoReply(9, 24, 24, 24);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(CutScoSlot(reply.data(), 81, 0, i).state, SCO_SLOT_ABSENT);
}

}  // namespace
