// Frame encoding, its FCS and the frame sender.
#include "console_capture.h"
#include "diag/diag.h"
#include "frames.h"
#include "recorders.h"


#include <gtest/gtest.h>

#include <random>

namespace {

Bytes Encode(const Bytes& packet, int escape) {
  Bytes frame(DIAG_FRAME_AREA);
  const int n = EncodeDiagFrame(packet.data(), (int)packet.size(), escape, frame.data(), (int)frame.size());
  EXPECT_GE(n, 0);
  frame.resize(n < 0 ? 0 : (size_t)n);
  return frame;
}

TEST(DiagFcs, TableAgreesWithBitwiseComputation) {
  std::mt19937 rng(1662);
  for (int round = 0; round < 200; ++round) {
    Bytes data(rng() % 300);
    for (auto& b : data) b = (uint8_t)rng();
    const uint16_t start = (uint16_t)rng();
    EXPECT_EQ(DiagFcs16(data.data(), (int)data.size(), start), BitwiseFcs16(data, start));
  }
  // Single bytes reach every table entry.
  for (int b = 0; b < 256; ++b) {
    const BYTE one = (BYTE)b;
    EXPECT_EQ(DiagFcs16(&one, 1, 0), BitwiseFcs16(Bytes{(uint8_t)b}, 0)) << "byte " << b;
  }
}

TEST(DiagFrame, KnownFrames) {
  EXPECT_EQ(Encode({}, 1), (Bytes{0x00, 0x00, 0x7E}));
  EXPECT_EQ(Encode({0x01, 0xEF, 0xBE, 0xAD, 0xDE}, 0), (Bytes{0x01, 0xEF, 0xBE, 0xAD, 0xDE, 0x6D, 0x78, 0x7E}));
  // The FCS is taken before escaping, so both forms carry 02 D5.
  EXPECT_EQ(Encode({0x7D, 0x7E}, 1), (Bytes{0x7D, 0x5D, 0x7D, 0x5E, 0x02, 0xD5, 0x7E}));
  EXPECT_EQ(Encode({0x7D, 0x7E}, 0), (Bytes{0x7D, 0x7E, 0x02, 0xD5, 0x7E}));
  // Control characters are not escaped.
  const Bytes control = Encode({0x00, 0x11, 0x13, 0x20, 0x5D, 0x5E}, 1);
  EXPECT_EQ(Bytes(control.begin(), control.begin() + 6), (Bytes{0x00, 0x11, 0x13, 0x20, 0x5D, 0x5E}));
}

TEST(DiagFrame, FcsByteEqualToEscapeIsEscaped) {
  const Bytes packet = {0x10, 0x00, 0x12, 0x00, 0x12, 0x00, 0x66, 0x13, 0xE5, 0x62, 0x2A,
                        0xC5, 0xFF, 0x01, 0x00, 0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x58};
  Bytes expected = packet;
  expected.insert(expected.end(), {0x10, 0x7D, 0x5D, 0x7E});
  EXPECT_EQ(Encode(packet, 1), expected);
}

TEST(DiagFrame, RandomPacketsDecodeToGoodFcs) {
  std::mt19937 rng(42);
  for (int round = 0; round < 300; ++round) {
    const int escape = round % 2;
    Bytes packet(rng() % (DIAG_MAX_PACKET + 1));
    // Plenty of reserved values so that escaping is exercised.
    for (auto& b : packet) b = (rng() % 4 == 0) ? (uint8_t)(0x7D + rng() % 2) : (uint8_t)rng();
    const Bytes frame = Encode(packet, escape);
    const Bytes decoded = DecodeFrame(frame, escape != 0);
    ASSERT_EQ(decoded.size(), packet.size() + 2);
    EXPECT_TRUE(std::equal(packet.begin(), packet.end(), decoded.begin()));
    EXPECT_EQ(BitwiseFcs16(decoded), DIAG_FCS_GOOD);
    if (!escape) {
      EXPECT_EQ(frame.size(), packet.size() + 3);
    }
  }
}

TEST(DiagFrame, LengthAndCapacityLimits) {
  Bytes worst(DIAG_MAX_PACKET, 0x7E);
  Bytes frame(DIAG_FRAME_AREA);
  // Every byte escaped: the frame area holds even this frame whole.
  const int n = EncodeDiagFrame(worst.data(), (int)worst.size(), 1, frame.data(), (int)frame.size());
  ASSERT_GE(n, 2 * DIAG_MAX_PACKET + 3);
  EXPECT_LE(n, DIAG_FRAME_AREA);
  // One byte less room than needed is refused rather than cut short.
  EXPECT_EQ(EncodeDiagFrame(worst.data(), (int)worst.size(), 1, frame.data(), n - 1), -1);
  EXPECT_EQ(EncodeDiagFrame(worst.data(), (int)worst.size(), 1, frame.data(), n), n);

  // Whatever the room, nothing is written past it, not even half an escape pair.
  const Bytes small = {0x7E, 0x01, 0x7D};
  for (int capacity = 0; capacity < 10; ++capacity) {
    Bytes area(16, 0xAA);
    const int written = EncodeDiagFrame(small.data(), (int)small.size(), 1, area.data(), capacity);
    EXPECT_TRUE(written == -1 || written <= capacity);
    for (int i = capacity; i < 16; ++i) EXPECT_EQ(area[i], 0xAA) << "capacity " << capacity << " byte " << i;
  }

  Bytes tooLong(DIAG_MAX_PACKET + 1, 0x55);
  EXPECT_EQ(EncodeDiagFrame(tooLong.data(), (int)tooLong.size(), 0, frame.data(), (int)frame.size()), -1);
  EXPECT_EQ(EncodeDiagFrame(tooLong.data(), -1, 0, frame.data(), (int)frame.size()), -1);
}

TEST(DiagPrintToStream, SendsWholeFrameAndDumpsIt) {
  HostSendRecorder host;
  ConsoleCapture console;
  const Bytes packet = {0x7D, 0x7E};
  DiagPrintToStream(host.sender(), packet.data(), (int)packet.size(), 1, 1);
  ASSERT_EQ(host.sends().size(), 1u);
  EXPECT_EQ(host.sends()[0], (Bytes{0x7D, 0x5D, 0x7D, 0x5E, 0x02, 0xD5, 0x7E}));
  EXPECT_EQ(console.Text(), "\nBTFTM : DiagPrintToStream Send[7]: 7d 5d 7d 5e 02 d5 7e \n");
}

TEST(DiagPrintToStream, QuietWithoutVerbose) {
  HostSendRecorder host;
  ConsoleCapture console;
  const Bytes packet = {0x01, 0xEF, 0xBE, 0xAD, 0xDE};
  DiagPrintToStream(host.sender(), packet.data(), (int)packet.size(), 0, 0);
  ASSERT_EQ(host.sends().size(), 1u);
  EXPECT_EQ(host.sends()[0].size(), 8u);
  EXPECT_EQ(console.Text(), "");
}

TEST(DiagPrintToStream, LongestPacketsSentWholeAndTooLongRefused) {
  HostSendRecorder host;
  ConsoleCapture console;
  Bytes worst(DIAG_MAX_PACKET, 0x7D);
  DiagPrintToStream(host.sender(), worst.data(), (int)worst.size(), 1, 0);
  ASSERT_EQ(host.sends().size(), 1u);
  const Bytes decoded = DecodeFrame(host.sends()[0], true);
  EXPECT_EQ(decoded.size(), worst.size() + 2);
  EXPECT_EQ(BitwiseFcs16(decoded), DIAG_FCS_GOOD);

  Bytes tooLong(DIAG_MAX_PACKET + 1, 0x00);
  DiagPrintToStream(host.sender(), tooLong.data(), (int)tooLong.size(), 1, 1);
  EXPECT_EQ(host.sends().size(), 1u);
  EXPECT_EQ(console.Text(), "Input data is too large. Length = 1501 \n");
}

TEST(DiagPrintToStream, ReportsMissingHostAndFailedOrShortSends) {
  const Bytes packet = {0x3F, 0x01, 0x00, 0x00};
  struct Case {
    int result;
    const char* line;
  } cases[] = {
      {HOST_SEND_NO_SOCKET, "BTFTM : DiagPrintToStream, Can't find socket\n"},
      {HOST_SEND_FAILED, "BTFTM : DiagPrintToStream, Send failed\n"},
      {3, "BTFTM : DiagPrintToStream, Send failed\n"},  // cut short part way
      {7, ""},
  };
  for (const Case& c : cases) {
    HostSendRecorder host;
    host.FailWith(c.result);
    ConsoleCapture console;
    DiagPrintToStream(host.sender(), packet.data(), (int)packet.size(), 0, 1);
    // The dump comes first, whatever happens to the send.
    EXPECT_EQ(console.Text(), std::string("\nBTFTM : DiagPrintToStream Send[7]: 3f 01 00 00 09 58 7e \n") + c.line)
        << "send result " << c.result;
  }
}

}  // namespace
