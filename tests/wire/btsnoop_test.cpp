#include "wire/btsnoop.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Btsnoop, FileHeaderIsMagicVersionOneAndH4Datalink) {
  uint8_t header[BTSNOOP_FILE_HEADER_SIZE];
  BtsnoopFileHeader(header);
  const Bytes expected = {'b', 't', 's', 'n', 'o', 'o', 'p', 0, 0, 0, 0, 1, 0, 0, 0x03, 0xEA};
  EXPECT_EQ(Bytes(header, header + sizeof header), expected);
  EXPECT_TRUE(BtsnoopCheckFileHeader(header, sizeof header));
  EXPECT_FALSE(BtsnoopCheckFileHeader(header, sizeof header - 1));
  header[15] = 0xE9;  // datalink 1001: HCI without the type byte
  EXPECT_FALSE(BtsnoopCheckFileHeader(header, sizeof header));
}

TEST(Btsnoop, FlagsCarryDirectionAndCommandOrEvent) {
  struct Case {
    uint8_t type;
    BtsnoopDirection direction;
    uint32_t flags;
  };
  const Case cases[] = {
      {0x01, BTSNOOP_TO_CONTROLLER, 2},   {0x04, BTSNOOP_FROM_CONTROLLER, 3}, {0x02, BTSNOOP_TO_CONTROLLER, 0},
      {0x02, BTSNOOP_FROM_CONTROLLER, 1}, {0x03, BTSNOOP_TO_CONTROLLER, 0},   {0x03, BTSNOOP_FROM_CONTROLLER, 1},
  };
  for (const Case& c : cases) EXPECT_EQ(BtsnoopFlags(c.type, c.direction), c.flags) << int(c.type);
}

TEST(Btsnoop, RecordHeaderIsBigEndianWithTheTimeSinceYearZero) {
  uint8_t header[BTSNOOP_RECORD_HEADER_SIZE];
  // 2023-11-14 22:13:20.000001 UTC
  BtsnoopRecordHeader(header, 0x01020304, 3, 0x0A0B0C0D, BtsnoopTimestamp(1700000000000001LL));
  const Bytes expected = {1, 2, 3, 4, 1, 2, 3, 4, 0, 0, 0, 3, 0x0A, 0x0B, 0x0C, 0x0D,
                          0x00, 0xE2, 0xE7, 0xD7, 0x27, 0x4D, 0xC0, 0x01};
  EXPECT_EQ(Bytes(header, header + sizeof header), expected);
  EXPECT_EQ(BtsnoopTimestamp(0), 0x00DCDDB30F2F8000ULL);
}

Bytes Record(const Bytes& packet, uint32_t flags, uint32_t included = 0xFFFFFFFF) {
  Bytes out(BTSNOOP_RECORD_HEADER_SIZE);
  BtsnoopRecordHeader(out.data(), uint32_t(packet.size()), flags, 0, BtsnoopTimestamp(1));
  if (included != 0xFFFFFFFF) {
    out[4] = uint8_t(included >> 24), out[5] = uint8_t(included >> 16), out[6] = uint8_t(included >> 8),
    out[7] = uint8_t(included);
  }
  out.insert(out.end(), packet.begin(), packet.end());
  return out;
}

TEST(Btsnoop, ReaderTakesWholeRecordsAndStopsAtACutOne) {
  const Bytes reset = {0x01, 0x03, 0x0C, 0x00};
  const Bytes complete = {0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00};
  Bytes file = Record(reset, 2);
  const Bytes second = Record(complete, 3);
  file.insert(file.end(), second.begin(), second.end());

  size_t offset = 0;
  BtsnoopRecord r;
  ASSERT_EQ(BtsnoopNextRecord(file.data(), file.size(), &offset, &r), BTSNOOP_READ_RECORD);
  EXPECT_EQ(Bytes(r.packet, r.packet + r.includedLength), reset);
  EXPECT_TRUE(BtsnoopRecordIsWholePacket(r));
  ASSERT_EQ(BtsnoopNextRecord(file.data(), file.size(), &offset, &r), BTSNOOP_READ_RECORD);
  EXPECT_EQ(r.flags, 3u);
  EXPECT_EQ(BtsnoopNextRecord(file.data(), file.size(), &offset, &r), BTSNOOP_READ_END);

  // Every cut inside the second record leaves the first whole and the rest truncated.
  for (size_t cut = reset.size() + BTSNOOP_RECORD_HEADER_SIZE + 1; cut < file.size(); ++cut) {
    offset = 0;
    ASSERT_EQ(BtsnoopNextRecord(file.data(), cut, &offset, &r), BTSNOOP_READ_RECORD);
    EXPECT_EQ(BtsnoopNextRecord(file.data(), cut, &offset, &r), BTSNOOP_READ_TRUNCATED) << cut;
  }
  const Bytes bad = Record(reset, 2, 5);
  offset = 0;
  EXPECT_EQ(BtsnoopNextRecord(bad.data(), bad.size(), &offset, &r), BTSNOOP_READ_BAD);
}

TEST(Btsnoop, AWholePacketHasItsOwnLengthAndFlagsThatFitItsType) {
  struct Case {
    Bytes packet;
    uint32_t flags;
    bool whole;
  };
  const Case cases[] = {
      {{0x01, 0x03, 0x0C, 0x00}, 2, true},
      {{0x01, 0x03, 0x0C, 0x00}, 3, false},       // a command from the controller
      {{0x01, 0x03, 0x0C, 0x00}, 0, false},       // a command without its flag
      {{0x04, 0x0E, 0x01, 0x01}, 3, true},
      {{0x04, 0x0E, 0x01, 0x01}, 2, false},       // an event to the controller
      {{0x02, 0x01, 0x00, 0x01, 0x00, 0xAA}, 0, true},
      {{0x02, 0x01, 0x00, 0x02, 0x00, 0xAA}, 1, false},  // one data byte short
      {{0x03, 0x01, 0x00, 0x00}, 1, true},
      {{0x03, 0x01, 0x00, 0x00, 0x00}, 1, false},        // a byte too many
      {{0x02, 0x01, 0x00, 0x00, 0x00}, 0x80, false},     // unknown flag bits
      {{0x07, 0x00}, 0, false},
      {{}, 0, false},
  };
  for (const Case& c : cases) {
    const Bytes record = Record(c.packet, c.flags);
    size_t offset = 0;
    BtsnoopRecord r;
    ASSERT_EQ(BtsnoopNextRecord(record.data(), record.size(), &offset, &r), BTSNOOP_READ_RECORD);
    EXPECT_EQ(BtsnoopRecordIsWholePacket(r), c.whole) << c.packet.size() << " bytes, flags " << c.flags;
  }
}

}  // namespace
