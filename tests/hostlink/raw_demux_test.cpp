#include "hostlink/raw_demux.h"

#include "child_process.h"
#include "console_capture.h"
#include "frames.h"
#include "recorders.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// The receive buffer as the receive loop keeps it: carried bytes at the start, the rest
// zero before each receive. It is exactly as long as the data area, so a read past its
// end shows up under the address sanitizer.
struct Stream {
  Bytes buf = Bytes(HOST_RECV_CAPACITY);
  int carry = 0;
  RawDemuxState state = {};
  DriverWriteRecorder recorder;

  int Receive(const Bytes& bytes) {
    EXPECT_LE(carry + (int)bytes.size(), HOST_RECV_CAPACITY);
    std::fill(buf.begin() + carry, buf.end(), 0);
    std::copy(bytes.begin(), bytes.end(), buf.begin() + carry);
    carry = DemuxRawPackets(buf.data(), carry + (int)bytes.size(), &state, recorder.writer());
    EXPECT_GE(carry, 0);
    EXPECT_LT(carry, HOST_RECV_CAPACITY);
    return carry;
  }
};

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Fill(size_t n, uint8_t value) { return Bytes(n, value); }

RecordedWrite Cmd(const Bytes& b) { return {'C', b}; }
RecordedWrite Acl(const Bytes& b) { return {'A', b}; }
RecordedWrite Sco(const Bytes& b) { return {'S', b}; }
RecordedWrite Select(uint8_t id) { return {'I', Bytes{id}}; }

const Bytes kReset = {0x01, 0x03, 0x0c, 0x00};

TEST(RawDemux, WritesEveryPacketOfOneReceiveInOrderWithItsLine) {
  ConsoleCapture console;
  Stream s;
  const Bytes scoData = Fill(24, 0x55);
  EXPECT_EQ(0, s.Receive(Cat(Cat(kReset, {0x02, 0x01, 0x00, 0x02, 0x00, 0xaa, 0xbb}),
                             Cat({0x03, 0x01, 0x00, 0x18}, scoData))));
  EXPECT_EQ(s.recorder.writes(),
            (std::vector<RecordedWrite>{Cmd({0x03, 0x0c, 0x00}), Acl({0x01, 0x00, 0x02, 0x00, 0xaa, 0xbb}), Select(1),
                                        Sco(Cat({0x01, 0x00, 0x18}, scoData))}));
  EXPECT_EQ(console.Text(),
            "BTFTM: HCI cmd(to btsoc)(3):03 0c 00 \n"
            "BTFTM: Sent #1 ACL packet to btsoc, length is: 6\n");
}

TEST(RawDemux, PacketSplitOverSeveralReceivesIsWrittenOnce) {
  Stream s;
  EXPECT_EQ(2, s.Receive({0x01, 0x05}));
  EXPECT_EQ(5, s.Receive({0x0c, 0x02, 0xaa}));
  EXPECT_EQ(0u, s.recorder.count());
  EXPECT_EQ(0, s.Receive({0xbb}));
  EXPECT_EQ(s.recorder.writes(), (std::vector<RecordedWrite>{Cmd({0x05, 0x0c, 0x02, 0xaa, 0xbb})}));
}

TEST(RawDemux, LoneByteIsCarriedLikeAnyIncompletePacket) {
  ConsoleCapture console;
  Stream s;
  // A receive of one byte with nothing carried.
  EXPECT_EQ(1, s.Receive({0x01}));
  EXPECT_EQ(0, s.Receive({0x03, 0x0c, 0x00}));
  // One byte left behind a complete packet.
  EXPECT_EQ(1, s.Receive({0x01, 0x01, 0x10, 0x00, 0x02}));
  EXPECT_EQ(0, s.Receive({0x07, 0x00, 0x00, 0x00}));
  // One byte behind carried bytes: the carried packet completes, the lone byte follows.
  EXPECT_EQ(3, s.Receive({0x01, 0x02, 0x20}));
  EXPECT_EQ(1, s.Receive({0x00, 0x03}));
  EXPECT_EQ(0, s.Receive({0x09, 0x00, 0x00}));
  EXPECT_EQ(s.recorder.writes(),
            (std::vector<RecordedWrite>{Cmd({0x03, 0x0c, 0x00}), Cmd({0x01, 0x10, 0x00}), Acl({0x07, 0x00, 0x00, 0x00}),
                                        Cmd({0x02, 0x20, 0x00}), Sco({0x09, 0x00, 0x00})}));
  EXPECT_EQ(console.Text().find("unknow"), std::string::npos);
}

TEST(RawDemux, UnknownTypeBytesAreReportedAndSkippedOneByOne) {
  ConsoleCapture console;
  Stream s;
  // An event type byte from the test host, a stray byte, then a command; and a lone
  // unknown byte at the end of a pass is reported, not carried.
  EXPECT_EQ(0, s.Receive(Cat({0x04, 0xee}, Cat(kReset, {0x04}))));
  EXPECT_EQ(s.recorder.writes(), (std::vector<RecordedWrite>{Cmd({0x03, 0x0c, 0x00})}));
  EXPECT_EQ(console.Text(),
            "BTFTM: unknow HCI packet type from remote, index is 0, type is 4\n"
            "BTFTM: unknow HCI packet type from remote, index is 1, type is 238\n"
            "BTFTM: HCI cmd(to btsoc)(3):03 0c 00 \n"
            "BTFTM: unknow HCI packet type from remote, index is 6, type is 4\n");
}

TEST(RawDemux, EmptyPacketsAreWrittenWithTheirHeadersAndAclCountRunsOn) {
  ConsoleCapture console;
  Stream s;
  EXPECT_EQ(0, s.Receive({0x01, 0x01, 0x10, 0x00, 0x02, 0x05, 0x00, 0x00, 0x00}));
  EXPECT_EQ(0, s.Receive({0x03, 0x06, 0x00, 0x00, 0x02, 0x05, 0x00, 0x00, 0x00}));
  EXPECT_EQ(s.recorder.writes(),
            (std::vector<RecordedWrite>{Cmd({0x01, 0x10, 0x00}), Acl({0x05, 0x00, 0x00, 0x00}), Sco({0x06, 0x00, 0x00}),
                                        Acl({0x05, 0x00, 0x00, 0x00})}));
  EXPECT_EQ(console.Text(),
            "BTFTM: HCI cmd(to btsoc)(3):01 10 00 \n"
            "BTFTM: Sent #1 ACL packet to btsoc, length is: 4\n"
            "BTFTM: Invalid sco hciLen 3"
            "BTFTM: Sent #2 ACL packet to btsoc, length is: 4\n");
}

TEST(RawDemux, ScoRuleRunsOnEveryPassBeforeTheCompletenessTest) {
  ConsoleCapture console;
  Stream s;
  // Length byte still missing: the rule sees 3, the packet is carried.
  EXPECT_EQ(3, s.Receive({0x03, 0x01, 0x00}));
  EXPECT_EQ(0u, s.recorder.count());
  EXPECT_EQ(console.Text(), "BTFTM: Invalid sco hciLen 3");
  // 60 data bytes arrive over two passes: the rule runs on both, then the write.
  EXPECT_EQ(13, s.Receive(Cat({0x3c}, Fill(9, 0x11))));
  EXPECT_EQ(0, s.Receive(Fill(51, 0x11)));
  // An unlisted size is still written after its line.
  EXPECT_EQ(0, s.Receive(Cat({0x03, 0x02, 0x00, 0x1e}, Fill(30, 0x22))));
  EXPECT_EQ(s.recorder.writes(), (std::vector<RecordedWrite>{Select(6), Select(6), Sco(Cat({0x01, 0x00, 0x3c}, Fill(60, 0x11))),
                                                             Sco(Cat({0x02, 0x00, 0x1e}, Fill(30, 0x22)))}));
  EXPECT_EQ(console.Text(), "BTFTM: Invalid sco hciLen 3BTFTM: Invalid sco hciLen 33");
}

TEST(RawDemux, AclThatFillsTheWholeBufferIsWritten) {
  Stream s;
  // 4091 data bytes: the H4 packet is exactly as long as the buffer.
  EXPECT_EQ(0, s.Receive(Cat({0x02, 0x01, 0x00, 0xfb, 0x0f}, Fill(4091, 0x01))));
  ASSERT_EQ(1u, s.recorder.count());
  EXPECT_EQ(4095u, s.recorder.writes()[0].bytes.size());
}

TEST(RawDemux, HeaderCutOffAtTheBufferEndIsCarriedWithoutReadingPastIt) {
  Stream s;
  // An ACL packet of 4094 bytes, then the first two bytes of the next one in the last
  // two places of the buffer: its length bytes lie past the end and count as 0.
  EXPECT_EQ(2, s.Receive(Cat(Cat({0x02, 0x01, 0x00, 0xf9, 0x0f}, Fill(4089, 0x01)), {0x02, 0x07})));
  EXPECT_EQ(0x02, s.buf[0]);
  EXPECT_EQ(0x07, s.buf[1]);
  EXPECT_EQ(0, s.Receive({0x00, 0x01, 0x00, 0x5a}));
  ASSERT_EQ(2u, s.recorder.count());
  EXPECT_EQ(s.recorder.writes()[1], Acl({0x07, 0x00, 0x01, 0x00, 0x5a}));
}

TEST(RawDemux, OversizedAclIsSkippedAsItArrivesAndTheStreamStaysInStep) {
  // 4092 data bytes can never fit. The data is all 0x01, so any byte of it taken as a
  // type byte would show up as a command.
  const Bytes header = {0x02, 0x01, 0x00, 0xfc, 0x0f};
  struct Case {
    std::vector<Bytes> receives;
  };
  const Case cases[] = {
      // The tail arrives with the next packet behind it.
      {{Cat(header, Fill(1000, 0x01)), Fill(3000, 0x01), Cat(Fill(92, 0x01), kReset)}},
      // The first receive fills the buffer; the tail ends exactly at a receive's end.
      {{Cat(header, Fill(4091, 0x01)), Fill(1, 0x01), kReset}},
      // The header arrives in two pieces: carried until the length is known.
      {{{0x02, 0x01, 0x00, 0xfc}, Cat({0x0f}, Fill(4000, 0x01)), Cat(Fill(92, 0x01), kReset)}},
  };
  for (const Case& c : cases) {
    ConsoleCapture console;
    Stream s;
    for (const Bytes& r : c.receives) s.Receive(r);
    EXPECT_EQ(0, s.carry);
    EXPECT_EQ(s.recorder.writes(), (std::vector<RecordedWrite>{Cmd({0x03, 0x0c, 0x00})}));
    EXPECT_EQ(console.Text(),
              "BTFTM: ACL packet from remote too long for the receive buffer, length is: 4096, skipping it\n"
              "BTFTM: HCI cmd(to btsoc)(3):03 0c 00 \n");
  }
}

}  // namespace

namespace {

TEST(RawDemux, StrayByteLinesAreBoundedPerReceiveAndAFloodIsSaidInOneLine) {
  const int kFull = HOST_RECV_CAPACITY;
  const struct {
    const char* name;
    std::vector<int> strays;  // stray bytes in each receive; 0: a receive of one command
    int lines;
    std::vector<unsigned long long> more;
  } cases[] = {
      {"within the limit, receive by receive", {32, 32, 5}, 69, {}},
      {"one over", {33}, 32, {1}},
      {"one over, then a quiet receive", {33, 0, 3}, 35, {1}},
      // The first receive shows its 32 and says the rest; the flood then shows none, and
      // is said whole once a receive brings none of it (or the connection ends).
      {"a flood that ends", {kFull, kFull, kFull, 0, 2}, 34, {kFull - 32, 2 * kFull}},
      {"a flood up to the end", {kFull, kFull, 40}, 32, {kFull - 32, kFull + 40}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ConsoleCapture console;
    Stream s;
    PeerLines lines;
    DropCounts drops;
    s.state.lines = &lines;
    s.state.drops = &drops;
    int total = 0;
    for (int n : c.strays) {
      EXPECT_EQ(0, s.Receive(n == 0 ? kReset : Fill(size_t(n), 0x00)));
      EndPeerReceive(&lines);
      total += n;
    }
    EndPeerLines(&lines);
    const std::string text = console.Text();
    EXPECT_EQ(tarnexio_test::Occurrences(text, "BTFTM: unknow HCI packet type from remote"), size_t(c.lines));
    EXPECT_EQ(tarnexio_test::CountsOfLines(text, "BTFTM: ", " more bytes of unknown HCI packet type from remote"),
              c.more);
    // Every stray byte is counted, shown or not.
    EXPECT_EQ(drops.byCause[DROP_UNKNOWN_TYPE].load(), uint64_t(total));
  }
}

}  // namespace
