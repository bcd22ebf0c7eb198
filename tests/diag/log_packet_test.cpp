// Log packets around controller packets, and their frames.
#include "console_capture.h"
#include "diag/diag.h"
#include "frames.h"
#include "recorders.h"

#include <gtest/gtest.h>

namespace {

Bytes Build(const Bytes& payload, WORD logCode, WORD tag) {
  BYTE* packet = BuildLogPacket(payload.data(), (int)payload.size(), logCode, tag);
  EXPECT_NE(packet, nullptr);
  if (packet == nullptr) return {};
  Bytes out(packet, packet + payload.size() + LOG_HEADER_SIZE);
  ReleaseLogPacket(packet);
  return out;
}

TEST(LogPacket, EventPacketAndItsFrame) {
  const Bytes event = {0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00};
  const Bytes packet = Build(event, LOG_CODE_EVENT, LOG_TAG_EVENT);
  const Bytes expected = {0x10, 0x00, 0x12, 0x00, 0x12, 0x00, 0x66, 0x13, 0xE5, 0x62, 0x2A,
                          0xC5, 0xFF, 0x01, 0x00, 0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00};
  EXPECT_EQ(packet, expected);

  HostSendRecorder host;
  ConsoleCapture console;
  DiagPrintToStream(host.sender(), packet.data(), (int)packet.size(), 1, 1);
  ASSERT_EQ(host.sends().size(), 1u);
  EXPECT_EQ(host.sends()[0], PlainFrame(expected, 0xDD, 0xA3));
  EXPECT_EQ(console.Text().rfind("\nBTFTM : DiagPrintToStream Send[25]: 10 00 12 00 ", 0), 0u);
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
  const Bytes packet = Build(Bytes(113, 0x00), LOG_CODE_EVENT, LOG_TAG_EVENT);
  EXPECT_EQ(packet[2], 0x7D);
  EXPECT_EQ(packet[4], 0x7D);
  Bytes frame(DIAG_FRAME_AREA);
  const int n = EncodeDiagFrame(packet.data(), (int)packet.size(), 1, frame.data(), (int)frame.size());
  ASSERT_GT(n, 10);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 10), (Bytes{0x10, 0x00, 0x7D, 0x5D, 0x00, 0x7D, 0x5D, 0x00, 0x66, 0x13}));
  frame.resize((size_t)n);
  const Bytes decoded = DecodeFrame(frame, true);
  ASSERT_EQ(decoded.size(), packet.size() + 2);
  EXPECT_TRUE(std::equal(packet.begin(), packet.end(), decoded.begin()));
  EXPECT_EQ(BitwiseFcs16(decoded), DIAG_FCS_GOOD);
}

TEST(LogPacket, RefusesImpossibleLengths) {
  const BYTE payload[1] = {0};
  EXPECT_EQ(BuildLogPacket(payload, -1, LOG_CODE_EVENT, LOG_TAG_EVENT), nullptr);
  EXPECT_EQ(BuildLogPacket(nullptr, 5, LOG_CODE_EVENT, LOG_TAG_EVENT), nullptr);
  BYTE* empty = BuildLogPacket(nullptr, 0, LOG_CODE_EVENT, LOG_TAG_EVENT);
  EXPECT_NE(empty, nullptr);
  ReleaseLogPacket(empty);
  ReleaseLogPacket(nullptr);
}

}  // namespace
