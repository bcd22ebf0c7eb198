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

// Reserved bytes in the packet are escaped where it lies, and the FCS runs on from the
// header over them: the frame is the one the joined log packet makes.
TEST(LogPacket, FrameIsThatOfTheJoinedLogPacket) {
  for (int length : {0, 1, 7, 8, 9, 27, 255, 1028}) {
    Bytes payload((size_t)length);
    for (int i = 0; i < length; ++i) payload[(size_t)i] = (uint8_t)(i % 5 == 0 ? 0x7E : i % 5 == 1 ? 0x7D : i);
    Bytes joined(LOG_HEADER_SIZE);
    WriteLogHeader(joined.data(), length, LOG_CODE_ACL, LOG_TAG_ACL);
    joined.insert(joined.end(), payload.begin(), payload.end());
    HostSendRecorder host;
    ConsoleCapture console;
    DiagSendLogPacket(host.sender(), payload.data(), length, LOG_CODE_ACL, LOG_TAG_ACL);
    ASSERT_EQ(host.sends().size(), 1u) << length;
    EXPECT_EQ(host.sends()[0], ReferenceFrame(joined, true)) << length;
  }
}

// A packet that makes no log packet is dropped with its line and counted, never sent; its
// note is still done (it was received).
TEST(LogPacket, WhatMakesNoFrameIsCountedNotSent) {
  const struct {
    int length;
    const char* line;
    DropCause cause;
  } cases[] = {
      {DIAG_MAX_PACKET - LOG_HEADER_SIZE + 1, "Input data is too large. Length = 1501 \n", DROP_OVERSIZED},
      {-1, "BTFTM : DiagPrintToStream, invalid packet (length 15), nothing sent\n", DROP_MALFORMED},
  };
  const Bytes payload(DIAG_MAX_PACKET, 0x42);
  for (const auto& c : cases) {
    DropCounts drops;
    HostSendRecorder host;
    host.sender()->drops = &drops;
    ConsoleCapture console;
    int noted = 0;
    const HostSendNote note = {[](void* context) { ++*static_cast<int*>(context); }, &noted};
    DiagSendLogPacket(host.sender(), payload.data(), c.length, LOG_CODE_ACL, LOG_TAG_ACL, &note);
    EXPECT_EQ(console.Finish(), c.line);
    EXPECT_TRUE(host.sends().empty());
    EXPECT_EQ(drops.byCause[c.cause].load(), 1u);
    EXPECT_EQ(drops.byCause[DROP_NOT_SENT].load(), 0u);
    EXPECT_EQ(noted, 1);
  }
  // The largest log packet still goes.
  HostSendRecorder host;
  ConsoleCapture console;
  DiagSendLogPacket(host.sender(), payload.data(), DIAG_MAX_PACKET - LOG_HEADER_SIZE, LOG_CODE_ACL, LOG_TAG_ACL);
  EXPECT_EQ(host.sends().size(), 1u);
}

}  // namespace
