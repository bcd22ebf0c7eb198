#include "hostlink/diag_receive.h"

#include "diag/diag.h"

#include "console_capture.h"
#include "frames.h"
#include "hostlink/raw_demux.h"
#include "recorders.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

std::vector<Bytes> g_requests;

int RecordRequest(HostSender*, const BYTE* request, int length, int bufferSize, const DriverWriter&) {
  EXPECT_EQ(length, bufferSize);
  g_requests.emplace_back(request, request + length);
  return 1;
}

// The receive buffer in diag mode, carried bytes first.
struct DiagStream {
  Bytes buf = Bytes(HOST_RECV_CAPACITY);
  int carry = 0;
  DriverWriteRecorder recorder;

  DiagStream() { g_requests.clear(); }

  int Receive(const Bytes& bytes) {
    std::fill(buf.begin() + carry, buf.end(), 0);
    std::copy(bytes.begin(), bytes.end(), buf.begin() + carry);
    carry = DiagReceiveStep(buf.data(), carry + (int)bytes.size(), RecordRequest, nullptr, recorder.writer());
    EXPECT_LT(carry, HOST_RECV_CAPACITY);
    return carry;
  }
};

TEST(DiagReceive, EachFrameIsHandedOverAloneAndWhatFollowsTheLastFlagIsKept) {
  struct Case {
    Bytes bytes;
    std::vector<Bytes> frames;
    Bytes kept;
  };
  const Case cases[] = {
      {{0x0c, 0x14, 0x7e, 0x4b, 0x0b, 0x7e}, {{0x0c, 0x14, 0x7e}, {0x4b, 0x0b, 0x7e}}, {}},
      {{0x4b, 0x0b, 0x7e, 0x00}, {{0x4b, 0x0b, 0x7e}}, {0x00}},  // the next frame's first byte
      {{0x7e, 0x00, 0x7e, 0x7e, 0x01, 0x7e}, {{0x00, 0x7e}, {0x01, 0x7e}}, {}},  // frames opened by flags
      {{0x01, 0x7e, 0x02, 0x03}, {{0x01, 0x7e}}, {0x02, 0x03}},
      {{0x7e}, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    DiagStream s;
    EXPECT_EQ((int)c.kept.size(), s.Receive(c.bytes));
    EXPECT_EQ(g_requests, c.frames);
    EXPECT_EQ(Bytes(s.buf.begin(), s.buf.begin() + s.carry), c.kept);
  }
}

// What the real responder does with frames that share a receive, against the same frames
// each in a receive of its own: the same replies, driver writes and console lines, in the
// same order. Each case ends with a frame cut in two, the rest of which comes next.
// HCI_Reset in an FTM HCI request, as a test host sends it.
const Bytes kReset = {0x4b, 0x0b, 0x04, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01, 0x03, 0x0c, 0x00, 0x10, 0xec, 0x7e};

struct Handled {
  std::vector<Bytes> sends;
  std::vector<RecordedWrite> writes;
  std::string console;
};

Handled Answer(const std::vector<Bytes>& receives) {
  HostSendRecorder host;
  DriverWriteRecorder driver;
  ConsoleCapture console;
  Bytes buf(HOST_RECV_CAPACITY + 1);
  int carry = 0;
  for (const Bytes& r : receives) {
    std::fill(buf.begin() + carry, buf.end(), 0);
    std::copy(r.begin(), r.end(), buf.begin() + carry);
    carry = DiagReceiveStep(buf.data(), carry + (int)r.size(), HandleDiagRequest, host.sender(), driver.writer());
  }
  EXPECT_EQ(carry, 0);
  return {host.sends(), driver.writes(), console.Finish()};
}

TEST(DiagReceive, FramesInOneReceiveAreAnsweredAsIfEachHadComeAlone) {
  const Bytes escapedCommand = {0x4b, 0x0b, 0x04, 0x00, 0x00, 0x00, 0x04, 0x00,
                                0x00, 0x00, 0x01, 0x7d, 0x5e, 0x0c, 0x00, 0x11, 0x22, 0x7e};
  // Its length byte claims 8: alone, the bytes the frame lacks read as zero.
  const Bytes overlong = {0x4b, 0x0b, 0x04, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x01, 0x03, 0x0c, 0x00, 0x7e};
  const Bytes version = {0x00, 0x78, 0xf0, 0x7e};
  const Bytes esn = {0x01, 0x01, 0x55, 0x7e};
  const Bytes shortLogMask = {0x73, 0x11, 0x7e};  // byte 4 is past its end: no reply
  const Bytes logMaskOp1 = {0x73, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x12, 0x34, 0x7e};
  const Bytes loopback = {0x7b, 0x01, 0x02, 0x78, 0x55, 0x7e};
  const Bytes unknown = {0xff, 0x01, 0x02, 0x7e};
  const Bytes opening = {0x7e};  // a host that opens its frames with a flag
  const std::vector<std::vector<Bytes>> cases = {
      {version, version, version},
      {kReset, version},
      {version, kReset, esn},
      {kReset, kReset},
      {escapedCommand, overlong, version},
      {shortLogMask, esn},
      {loopback, logMaskOp1, unknown},
      {opening, version, opening, kReset},
  };
  for (const auto& frames : cases) {
    for (const Bytes& cut : {esn, kReset}) {
      SCOPED_TRACE(testing::PrintToString(frames));
      std::vector<Bytes> alone = frames;
      alone.push_back(cut);
      Bytes together;
      for (const Bytes& f : frames) together.insert(together.end(), f.begin(), f.end());
      together.insert(together.end(), cut.begin(), cut.begin() + 2);
      const Handled expected = Answer(alone);
      const Handled got = Answer({together, Bytes(cut.begin() + 2, cut.end())});
      EXPECT_FALSE(expected.sends.empty());
      EXPECT_EQ(got.sends, expected.sends);
      EXPECT_EQ(got.writes, expected.writes);
      EXPECT_EQ(got.console, expected.console);
    }
  }
}

TEST(DiagReceive, FtmHciRequestFollowedByAVersionRequestIsEchoedAloneAndWrittenOnce) {
  Bytes both = kReset;
  for (uint8_t b : {0x00, 0x78, 0xf0, 0x7e}) both.push_back(b);
  const Handled got = Answer({both});
  ASSERT_EQ(got.sends.size(), 2u);
  Bytes echo = kReset;
  for (uint8_t b : {0x35, 0x5c, 0x7e}) echo.push_back(b);
  EXPECT_EQ(got.sends[0], echo);
  EXPECT_EQ(got.sends[1].size(), 58u);
  EXPECT_EQ(got.sends[1][0], 0x00);
  EXPECT_EQ(got.writes, (std::vector<RecordedWrite>{{'C', {0x03, 0x0c, 0x00}}}));
  EXPECT_EQ(got.console, "BTFTM: HCI cmd(to btsoc)(3):03 0c 00 \n");
}

TEST(DiagReceive, FrameSplitOverTwoReceivesIsJoinedAndAnsweredOnce) {
  DiagStream s;
  EXPECT_EQ(3, s.Receive({0x4b, 0x0b, 0x00}));
  EXPECT_TRUE(g_requests.empty());
  EXPECT_EQ(0, s.Receive({0x01, 0x02, 0x7e}));
  EXPECT_EQ(g_requests, (std::vector<Bytes>{{0x4b, 0x0b, 0x00, 0x01, 0x02, 0x7e}}));
}

TEST(DiagReceive, FlagBytesAtTheStartOfKeptBytesAreLetGo) {
  DiagStream s;
  EXPECT_EQ(0, s.Receive({0x7e}));
  EXPECT_EQ(1, s.Receive({0x7e, 0x4b}));
  EXPECT_EQ(0x4b, s.buf[0]);
  EXPECT_EQ(0, s.Receive({0x0c, 0x7e}));
  EXPECT_EQ(g_requests, (std::vector<Bytes>{{0x4b, 0x0c, 0x7e}}));
}

TEST(DiagReceive, FullBufferWithoutAFrameEndIsDroppedWithOneLine) {
  ConsoleCapture console;
  DiagStream s;
  EXPECT_EQ(1000, s.Receive(Bytes(1000, 0x11)));
  EXPECT_EQ(0, s.Receive(Bytes(HOST_RECV_CAPACITY - 1000, 0x22)));
  EXPECT_EQ(console.Text(), "BTFTM: No diag frame end in 4096 bytes from remote, dropping them\n");
  // The stream goes on with what comes next.
  EXPECT_EQ(0, s.Receive({0x1d, 0x7e}));
  EXPECT_EQ(g_requests, (std::vector<Bytes>{{0x1d, 0x7e}}));
}

}  // namespace
