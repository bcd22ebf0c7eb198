#include "wire/h4.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

enum Policy { SKIP, RESYNC, RESET };

// What a stream gives: each packet as hex-free bytes, and each bad byte / too-long header
// as a one-element marker, in order.
struct Outcome {
  std::vector<Bytes> packets;
  std::vector<std::string> notes;
  bool operator==(const Outcome& o) const { return packets == o.packets && notes == o.notes; }
};

// Feeds stream in pieces of the given sizes (the last size repeats).
Outcome Parse(const Bytes& stream, const std::vector<size_t>& pieces, Policy policy, size_t capacity = 2048,
              uint8_t accept = 1 << H4_COMMAND | 1 << H4_ACL | 1 << H4_SCO | 1 << H4_EVENT | 1 << H4_ISO) {
  Bytes storage(capacity);
  H4Parser parser;
  H4Init(&parser, accept, storage.data(), storage.size());
  Outcome out;
  size_t pos = 0, piece = 0;
  while (pos < stream.size()) {
    size_t len = std::min(pieces[std::min(piece++, pieces.size() - 1)], stream.size() - pos);
    const uint8_t* data = stream.data() + pos;
    pos += len;
    H4Result result;
    do {
      const size_t n = H4Feed(&parser, data, len, &result);
      EXPECT_LE(n, len);
      data += n;
      len -= n;
      if (result == H4_PACKET) out.packets.emplace_back(parser.packet, parser.packet + parser.have);
      if (result == H4_BAD_TYPE) out.notes.push_back("bad " + std::to_string(parser.badByte));
      if (result == H4_TOO_LONG) {
        out.notes.push_back("long " + std::to_string(parser.packet[0]));
        if (policy == SKIP) H4SkipPacket(&parser);
        if (policy == RESYNC) H4Resync(&parser);
        if (policy == RESET) H4Reset(&parser);
      }
    } while (result != H4_NEED_MORE);
    EXPECT_EQ(len, 0u);
  }
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes Acl(size_t n, uint8_t fill) {
  Bytes b = {H4_ACL, 0x01, 0x20, uint8_t(n), uint8_t(n >> 8)};
  b.insert(b.end(), n, fill);
  return b;
}

const Bytes kReset = {H4_COMMAND, 0x03, 0x0C, 0x00};
const Bytes kEvent = {H4_EVENT, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00};
const Bytes kSco = {H4_SCO, 0x01, 0x00, 0x03, 0xAA, 0xBB, 0xCC};
const Bytes kIso = {H4_ISO, 0x01, 0x00, 0x02, 0xC0, 0x11, 0x22};  // RFU bits of the length set

TEST(H4Parser, EverySplitOfAStreamGivesTheSamePackets) {
  const Bytes stream = Concat({kReset, Acl(300, 0x7E), kEvent, kSco, Acl(0, 0), kIso, kEvent});
  const Outcome whole = Parse(stream, {stream.size()}, SKIP);
  ASSERT_EQ(whole.packets.size(), 7u);
  EXPECT_EQ(whole.packets[1], Acl(300, 0x7E));
  EXPECT_EQ(whole.packets[5], kIso);
  EXPECT_TRUE(whole.notes.empty());
  for (size_t cut = 1; cut < stream.size(); ++cut) {
    EXPECT_EQ(Parse(stream, {cut, stream.size()}, SKIP), whole) << "cut at " << cut;
    EXPECT_EQ(Parse(stream, {cut}, SKIP), whole) << "pieces of " << cut;
  }
}

TEST(H4Parser, CallerPolicyForWhatCannotBeAPacket) {
  struct Case {
    const char* name;
    Bytes stream;
    Policy policy;
    size_t capacity;
    std::vector<Bytes> packets;
    std::vector<std::string> notes;
  };
  const Bytes tooLong = Acl(40, 0x04);  // payload bytes that look like event starts
  const Case cases[] = {
      {"unknown types are reported one by one", Concat({{0x00, 0xFF}, kReset}), SKIP, 64, {kReset}, {"bad 0", "bad 255"}},
      {"skip lets the long payload go", Concat({tooLong, kReset}), SKIP, 32, {kReset}, {"long 2"}},
      {"reset drops only the header", Concat({Acl(3, 0x00), kReset}), RESET, 6, {kReset}, {"long 2", "bad 0", "bad 0", "bad 0"}},
      {"resync reads the header again", Concat({{H4_ACL}, kEvent}), RESYNC, 8,
       {kEvent}, {"long 2"}},
  };
  for (const Case& c : cases) {
    for (size_t piece : {size_t(1), size_t(3), c.stream.size()}) {
      const Outcome got = Parse(c.stream, {piece}, c.policy, c.capacity);
      EXPECT_EQ(got.packets, c.packets) << c.name << ", pieces of " << piece;
      EXPECT_EQ(got.notes, c.notes) << c.name << ", pieces of " << piece;
    }
  }
}

TEST(H4Parser, RefusedTypesAndCapacityBoundEveryPacket) {
  // An event where only host packets are taken is a bad byte, and its bytes after it too.
  const Outcome hostOnly = Parse(Concat({{H4_EVENT}, kReset}), {1}, RESET, 64, 1 << H4_COMMAND);
  EXPECT_EQ(hostOnly.notes, std::vector<std::string>{"bad 4"});
  EXPECT_EQ(hostOnly.packets, std::vector<Bytes>{kReset});

  // The largest ACL that fits a 1029-byte buffer is taken, one more byte is too long.
  const Outcome bound = Parse(Concat({Acl(1024, 1), Acl(1025, 2)}), {100}, SKIP, 1029);
  ASSERT_EQ(bound.packets.size(), 1u);
  EXPECT_EQ(bound.packets[0].size(), 1029u);
  EXPECT_EQ(bound.notes, std::vector<std::string>{"long 2"});
}

TEST(H4Parser, BusyWhileAPacketIsHalfRead) {
  uint8_t storage[64];
  H4Parser parser;
  H4Init(&parser, 1 << H4_COMMAND, storage, sizeof storage);
  H4Result result;
  EXPECT_EQ(H4Feed(&parser, kReset.data(), 2, &result), 2u);
  EXPECT_EQ(result, H4_NEED_MORE);
  EXPECT_TRUE(H4Busy(&parser));
  EXPECT_EQ(H4Feed(&parser, kReset.data() + 2, 2, &result), 2u);
  EXPECT_EQ(result, H4_PACKET);
  EXPECT_FALSE(H4Busy(&parser));
}

}  // namespace
