// Log packets around controller packets, and their frames.
#include "console_capture.h"
#include "diag/diag.h"
#include "frames.h"
#include "recorders.h"

#include <gtest/gtest.h>

namespace {

// The log packet the sender frames around payload, read back from its one frame.
Bytes Build(const Bytes& payload, WORD logCode, WORD tag) {
  HostSendRecorder host;
  ConsoleCapture console;
  DiagSendLogPacket(host.sender(), payload.data(), (int)payload.size(), logCode, tag);
  EXPECT_EQ(host.sends().size(), 1u);
  if (host.sends().size() != 1) return {};
  Bytes packet = DecodeFrame(host.sends()[0], true);
  EXPECT_EQ(BitwiseFcs16(packet), DIAG_FCS_GOOD);
  packet.resize(packet.size() - 2);
  return packet;
}

TEST(LogPacket, EventPacketAndItsFrame) {
  const Bytes event = {0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00};
  const Bytes packet = Build(event, LOG_CODE_EVENT, LOG_TAG_EVENT);
  const Bytes expected = {0x10, 0x00, 0x12, 0x00, 0x12, 0x00, 0x66, 0x13, 0xE5, 0x62, 0x2A,
                          0xC5, 0xFF, 0x01, 0x00, 0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00};
  EXPECT_EQ(packet, expected);

  HostSendRecorder host;
  ConsoleCapture console;
  int noted = 0;
  const HostSendNote note = {[](void* context) { ++*static_cast<int*>(context); }, &noted};
  DiagSendLogPacket(host.sender(), event.data(), (int)event.size(), LOG_CODE_EVENT, LOG_TAG_EVENT, &note);
  ASSERT_EQ(host.sends().size(), 1u);
  EXPECT_EQ(host.sends()[0], PlainFrame(expected, 0xDD, 0xA3));
  EXPECT_EQ(console.Text(), "\nBTFTM : DiagPrintToStream Send[25]: 10 00 12 00 12 00 66 13 e5 62 2a c5 ff 01 00 04 "
                            "0e 04 01 03 0c 00 dd a3 7e \n");
  EXPECT_EQ(noted, 1);
}

TEST(LogPacket, LengthFieldsAndKinds) {
  struct Case {
    int payload;
    WORD code;
    WORD tag;
    Bytes head;  // bytes 0 to 7, then 14 and 15
  } cases[] = {
      {240, LOG_CODE_ACL, LOG_TAG_ACL, {0x10, 0x00, 0xFC, 0x00, 0xFC, 0x00, 0x68, 0x13, 0x00, 0x02}},
      {244, LOG_CODE_EVENT, LOG_TAG_EVENT, {0x10, 0x01, 0x00, 0x01, 0x00, 0x00, 0x66, 0x13, 0x00, 0x04}},
      {257, LOG_CODE_EVENT, LOG_TAG_EVENT, {0x10, 0x01, 0x0D, 0x01, 0x0D, 0x00, 0x66, 0x13, 0x00, 0x04}},
      {1028, LOG_CODE_ACL, LOG_TAG_ACL, {0x10, 0x04, 0x10, 0x04, 0x10, 0x00, 0x68, 0x13, 0x00, 0x02}},
      {189, LOG_CODE_SCO, LOG_TAG_SCO, {0x10, 0x00, 0xC9, 0x00, 0xC9, 0x00, 0x70, 0x13, 0x00, 0x03}},
      {0, LOG_CODE_SCO, LOG_TAG_SCO, {0x10, 0x00, 0x0C, 0x00, 0x0C, 0x00, 0x70, 0x13, 0x00, 0x03}},
  };
  for (const Case& c : cases) {
    Bytes payload(c.payload);
    for (int i = 0; i < c.payload; ++i) payload[i] = (uint8_t)(i * 7 + 1);
    const Bytes packet = Build(payload, c.code, c.tag);
    ASSERT_EQ(packet.size(), payload.size() + 16) << c.payload;
    EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 8), Bytes(c.head.begin(), c.head.begin() + 8)) << c.payload;
    EXPECT_EQ(Bytes(packet.begin() + 8, packet.begin() + 14), (Bytes{0xE5, 0x62, 0x2A, 0xC5, 0xFF, 0x01}));
    EXPECT_EQ(Bytes(packet.begin() + 14, packet.begin() + 16), Bytes(c.head.begin() + 8, c.head.end()));
    EXPECT_EQ(Bytes(packet.begin() + 16, packet.end()), payload);
  }
}

TEST(LogPacket, LengthBytesEscapedOnTheWire) {
  HostSendRecorder host;
  ConsoleCapture console;
  const Bytes payload(113, 0x00);
  DiagSendLogPacket(host.sender(), payload.data(), (int)payload.size(), LOG_CODE_EVENT, LOG_TAG_EVENT);
  ASSERT_EQ(host.sends().size(), 1u);
  const Bytes frame = host.sends()[0];
  ASSERT_GT(frame.size(), 10u);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 10), (Bytes{0x10, 0x00, 0x7D, 0x5D, 0x00, 0x7D, 0x5D, 0x00, 0x66, 0x13}));
  const Bytes decoded = DecodeFrame(frame, true);
  ASSERT_EQ(decoded.size(), payload.size() + 16 + 2);
  EXPECT_EQ(Bytes(decoded.begin() + 16, decoded.end() - 2), payload);
  EXPECT_EQ(BitwiseFcs16(decoded), DIAG_FCS_GOOD);
}

// The header counts towards the longest packet a frame carries: one byte more is dropped
// with its line and counted, never sent, and still noted (it was received).
TEST(LogPacket, HeaderCountsTowardsTheLongestPacket) {
  const Bytes payload(DIAG_MAX_PACKET, 0x42);
  DropCounts drops;
  HostSendRecorder host;
  host.sender()->drops = &drops;
  ConsoleCapture console;
  int noted = 0;
  const HostSendNote note = {[](void* context) { ++*static_cast<int*>(context); }, &noted};
  DiagSendLogPacket(host.sender(), payload.data(), DIAG_MAX_PACKET - LOG_HEADER_SIZE + 1, LOG_CODE_ACL, LOG_TAG_ACL, &note);
  EXPECT_EQ(console.Text(), "Input data is too large. Length = 1501 \n");
  EXPECT_TRUE(host.sends().empty());
  EXPECT_EQ(drops.byCause[DROP_OVERSIZED].load(), 1u);
  EXPECT_EQ(noted, 1);
  DiagSendLogPacket(host.sender(), payload.data(), DIAG_MAX_PACKET - LOG_HEADER_SIZE, LOG_CODE_ACL, LOG_TAG_ACL, &note);
  EXPECT_EQ(host.sends().size(), 1u);
}

}  // namespace
