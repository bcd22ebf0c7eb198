// The diag formats against the hand-written reference of tests/support: frames both ways,
// log packets and FTM HCI requests read back, and what each reader refuses.
#include "wire/diag_frame.h"
#include "wire/diag_packets.h"

#include <gtest/gtest.h>

#include <random>

#include "frames.h"

namespace {

Bytes Encode(const Bytes& packet, int escape, int capacity) {
  Bytes frame((size_t)capacity + 8, 0xAA);
  const int n = EncodeDiagFrame(packet.data(), (int)packet.size(), escape, frame.data(), capacity);
  for (size_t i = (size_t)capacity; i < frame.size(); ++i) EXPECT_EQ(frame[i], 0xAA) << "written past the room";
  frame.resize(n < 0 ? 0 : (size_t)n);
  return frame;
}

DiagFrameResult Decode(const Bytes& frame, Bytes* packet) {
  packet->assign(frame.size(), 0);
  int length = -1;
  const DiagFrameResult result = DecodeDiagFrame(frame.data(), (int)frame.size(), packet->data(), &length);
  packet->resize((size_t)length);
  return result;
}

// Reserved bytes at every place around the eight-byte steps, with the room for the worst
// case (the fast path) and with only the room the frame needs (the checked path); every
// frame decodes back to its packet.
TEST(WireDiagFrame, EncodesAsTheReferenceAndDecodesBack) {
  std::mt19937 rng(97);
  for (int length = 0; length <= 40; ++length) {
    for (int round = 0; round < 30; ++round) {
      Bytes packet((size_t)length);
      for (auto& b : packet) b = rng() % 3 == 0 ? (uint8_t)(0x7D + rng() % 2) : (uint8_t)rng();
      for (int escape : {0, 1}) {
        const Bytes expected = ReferenceFrame(packet, escape != 0);
        EXPECT_EQ(Encode(packet, escape, 2 * (length + 2) + 1), expected) << "length " << length;
        EXPECT_EQ(Encode(packet, escape, (int)expected.size()), expected) << "length " << length;
        EXPECT_TRUE(Encode(packet, escape, (int)expected.size() - 1).empty());
      }
      Bytes decoded;
      if (length == 0) continue;
      EXPECT_EQ(Decode(ReferenceFrame(packet, true), &decoded), DIAG_FRAME_OK);
      EXPECT_EQ(decoded, packet);
    }
  }
}

// A packet given as a head and a body frames as the two joined, at every split around the
// eight-byte steps, on both paths; a frame one byte too large for its room is refused
// without a byte written past it.
TEST(WireDiagFrame, HeadAndBodyFrameAsTheJoinedPacket) {
  std::mt19937 rng(31);
  for (int length = 0; length <= 40; ++length) {
    Bytes packet((size_t)length);
    for (auto& b : packet) b = rng() % 3 == 0 ? (uint8_t)(0x7D + rng() % 2) : (uint8_t)rng();
    for (int split = 0; split <= length; ++split) {
      for (int escape : {0, 1}) {
        const Bytes expected = ReferenceFrame(packet, escape != 0);
        for (int capacity : {2 * (length + 2) + 1, (int)expected.size(), (int)expected.size() - 1}) {
          Bytes frame((size_t)capacity + 8, 0xAA);
          const int n = EncodeHeadedDiagFrame(split > 0 ? packet.data() : nullptr, split,
                                              split < length ? packet.data() + split : nullptr, length - split,
                                              escape, frame.data(), capacity);
          for (size_t i = (size_t)capacity; i < frame.size(); ++i) ASSERT_EQ(frame[i], 0xAA) << "written past";
          if (capacity < (int)expected.size()) {
            EXPECT_EQ(n, -1) << length << "/" << split;
            continue;
          }
          ASSERT_EQ(n, (int)expected.size()) << length << "/" << split;
          frame.resize((size_t)n);
          EXPECT_EQ(frame, expected) << length << "/" << split << " escape " << escape;
        }
      }
    }
  }
}

TEST(WireDiagFrame, HeadAndBodyRefuseWhatNoPacketIs) {
  Bytes frame(DIAG_FRAME_AREA);
  const Bytes b(DIAG_MAX_PACKET, 0x11);
  const int area = (int)frame.size();
  EXPECT_EQ(EncodeHeadedDiagFrame(b.data(), 16, b.data(), DIAG_MAX_PACKET - 15, 1, frame.data(), area), -1);
  EXPECT_GT(EncodeHeadedDiagFrame(b.data(), 16, b.data(), DIAG_MAX_PACKET - 16, 1, frame.data(), area), 0);
  EXPECT_EQ(EncodeHeadedDiagFrame(b.data(), 16, b.data(), -1, 1, frame.data(), area), -1);
  EXPECT_EQ(EncodeHeadedDiagFrame(b.data(), 16, nullptr, 4, 1, frame.data(), area), -1);
}

TEST(WireDiagFrame, DecodeRefusesWhatIsNotAWholeGoodFrame) {
  const Bytes good = ReferenceFrame({0x00}, true);  // 00 then FCS, no byte escaped
  Bytes badFcs = good;
  badFcs[1] ^= 0x01;
  const struct {
    Bytes frame;
    DiagFrameResult result;
    size_t packetLength;
  } cases[] = {
      {good, DIAG_FRAME_OK, 1},
      {Bytes(good.begin(), good.end() - 1), DIAG_FRAME_UNCLOSED, 0},
      {{}, DIAG_FRAME_UNCLOSED, 0},
      {{0x00, 0x11, 0x7D, 0x7E}, DIAG_FRAME_ENDS_IN_ESCAPE, 0},
      {ReferenceFrame({}, true), DIAG_FRAME_TOO_SHORT, 0},  // a good FCS of nothing
      {{0x7E}, DIAG_FRAME_TOO_SHORT, 0},
      {badFcs, DIAG_FRAME_BAD_FCS, 1},
  };
  for (const auto& c : cases) {
    Bytes packet;
    EXPECT_EQ(Decode(c.frame, &packet), c.result) << ::testing::PrintToString(c.frame);
    EXPECT_EQ(packet.size(), c.packetLength);
  }
}

// A log packet as the bridge writes it, read back for each code; then one field at a time
// made wrong.
TEST(WireLogPacket, ReadsBackWhatIsWrittenAndNamesWhatDoesNotHold) {
  const struct {
    uint16_t code, tag;
    uint8_t type;
  } kinds[] = {{LOG_CODE_EVENT, LOG_TAG_EVENT, H4_EVENT}, {LOG_CODE_ACL, LOG_TAG_ACL, H4_ACL}, {LOG_CODE_SCO, LOG_TAG_SCO, H4_SCO}};
  const Bytes payload = {0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00};
  for (const auto& k : kinds) {
    Bytes packet(LOG_HEADER_SIZE);
    WriteLogHeader(packet.data(), (int)payload.size(), k.code, k.tag);
    packet.insert(packet.end(), payload.begin(), payload.end());
    LogPacketView view;
    ASSERT_EQ(ParseLogPacket(packet.data(), packet.size(), &view), LOG_PACKET_OK);
    EXPECT_EQ(view.code, k.code);
    EXPECT_EQ(view.h4Type, k.type);
    EXPECT_EQ(Bytes(view.payload, view.payload + view.length), payload);
  }
  Bytes good(LOG_HEADER_SIZE);
  WriteLogHeader(good.data(), 2, LOG_CODE_EVENT, LOG_TAG_EVENT);
  good.insert(good.end(), {0x01, 0x00});
  const struct {
    size_t at;
    uint8_t value;
    LogPacketResult result;
  } broken[] = {
      {0, 0x11, LOG_PACKET_BAD_HEADER},  {2, 0x0F, LOG_PACKET_BAD_LENGTH},  {4, 0x0F, LOG_PACKET_BAD_LENGTH},
      {5, 0x01, LOG_PACKET_BAD_LENGTH},  {9, 0x00, LOG_PACKET_BAD_HEADER},  {6, 0x67, LOG_PACKET_UNKNOWN_CODE},
      {15, H4_ACL, LOG_PACKET_UNKNOWN_CODE}, {14, 0x01, LOG_PACKET_UNKNOWN_CODE},
  };
  for (const auto& b : broken) {
    Bytes packet = good;
    packet[b.at] = b.value;
    LogPacketView view;
    EXPECT_EQ(ParseLogPacket(packet.data(), packet.size(), &view), b.result) << "byte " << b.at;
  }
  LogPacketView view;
  EXPECT_EQ(ParseLogPacket(good.data(), LOG_HEADER_SIZE - 1, &view), LOG_PACKET_SHORT);
  EXPECT_EQ(ParseLogPacket(good.data(), good.size() - 1, &view), LOG_PACKET_BAD_LENGTH);
}

TEST(WireFtmHciRequest, ReadsBackTheCommandItCarries) {
  // Reset, and a command whose parameters are the two reserved bytes, escaped in the
  // request as the bridge reads them.
  const Bytes reset = {H4_COMMAND, 0x03, 0x0C, 0x00};
  Bytes request = BuildFtmHciRequest(reset.data(), reset.size());
  EXPECT_EQ(request, Bytes({0x4B, 0x0B, 0x04, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01, 0x03, 0x0C, 0x00}));
  uint8_t command[FTM_HCI_MAX_COMMAND];
  ASSERT_EQ(ParseFtmHciRequest(request.data(), (int)request.size(), command), 3);
  EXPECT_EQ(Bytes(command, command + 3), Bytes(reset.begin() + 1, reset.end()));

  const Bytes scan = {H4_COMMAND, 0x1A, 0x0C, 0x02, 0x7D, 0x7E};
  request = BuildFtmHciRequest(scan.data(), scan.size());
  const Bytes framed = ReferenceFrame(request, true);
  ASSERT_EQ(ParseFtmHciRequest(framed.data(), (int)framed.size(), command), 5);
  EXPECT_EQ(Bytes(command, command + 5), Bytes(scan.begin() + 1, scan.end()));

  // Bytes past the buffer read as zeros: a length that runs past the request is filled up.
  ASSERT_EQ(ParseFtmHciRequest(request.data(), FTM_HCI_COMMAND_OFFSET + 2, command), 5);
  EXPECT_EQ(Bytes(command, command + 5), Bytes({0x1A, 0x0C, 0x00, 0x00, 0x00}));

  Bytes empty = request;
  empty[FTM_HCI_LENGTH_OFFSET] = 0;
  EXPECT_EQ(ParseFtmHciRequest(empty.data(), (int)empty.size(), command), FTM_HCI_EMPTY);
  for (size_t at : {size_t(1), size_t(2), size_t(3), size_t(FTM_HCI_TYPE_OFFSET)}) {
    Bytes other = request;
    other[at] ^= 0x40;
    EXPECT_EQ(ParseFtmHciRequest(other.data(), (int)other.size(), command), FTM_HCI_NOT_HCI) << "byte " << at;
  }
}

}  // namespace
