#include "hostlink/diag_receive.h"

#include "console_capture.h"
#include "frames.h"
#include "hostlink/raw_demux.h"
#include "recorders.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

std::vector<Bytes> gRequests;

int RecordRequest(HostSender*, const BYTE* request, int length, int bufferSize, const DriverWriter&) {
  EXPECT_EQ(HOST_RECV_CAPACITY, bufferSize);
  gRequests.emplace_back(request, request + length);
  return 1;
}

// The receive buffer in diag mode, carried bytes first.
struct DiagStream {
  Bytes buf = Bytes(HOST_RECV_CAPACITY);
  int carry = 0;
  DriverWriteRecorder recorder;

  DiagStream() { gRequests.clear(); }

  int Receive(const Bytes& bytes) {
    std::fill(buf.begin() + carry, buf.end(), 0);
    std::copy(bytes.begin(), bytes.end(), buf.begin() + carry);
    carry = DiagReceiveStep(buf.data(), carry + (int)bytes.size(), RecordRequest, nullptr, recorder.writer());
    EXPECT_LT(carry, HOST_RECV_CAPACITY);
    return carry;
  }
};

TEST(DiagReceive, PassClosesAFrameByItsLastOrSecondToLastByte) {
  struct Case {
    Bytes bytes;
    bool closes;
  };
  const Case cases[] = {
      {{0x4b, 0x0b, 0x7e}, true},         // flag last
      {{0x4b, 0x0b, 0x7e, 0x00}, true},   // one byte after the flag
      {{0x01, 0x7e, 0x02}, true},         // the shortest run closed one byte early
      {{0x7e}, false},                     // a lone flag
      {{0x7e, 0x01}, false},               // with two bytes only the last is looked at
      {{0x01, 0x7e, 0x02, 0x03}, false},  // a flag further in
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.closes, ClosesDiagFrame(c.bytes.data(), (int)c.bytes.size())) << testing::PrintToString(c.bytes);
  }
}

TEST(DiagReceive, ClosingPassIsHandedOverWholeAndNothingIsKept) {
  DiagStream s;
  const Bytes twoFrames = {0x0c, 0x14, 0x3a, 0x7e, 0x4b, 0x0b, 0x00, 0x7e};
  EXPECT_EQ(0, s.Receive(twoFrames));
  EXPECT_EQ(gRequests, (std::vector<Bytes>{twoFrames}));
}

TEST(DiagReceive, FrameSplitOverTwoReceivesIsJoinedAndAnsweredOnce) {
  DiagStream s;
  EXPECT_EQ(3, s.Receive({0x4b, 0x0b, 0x00}));
  EXPECT_TRUE(gRequests.empty());
  EXPECT_EQ(0, s.Receive({0x01, 0x02, 0x7e}));
  EXPECT_EQ(gRequests, (std::vector<Bytes>{{0x4b, 0x0b, 0x00, 0x01, 0x02, 0x7e}}));
}

TEST(DiagReceive, FlagBytesAtTheStartOfKeptBytesAreLetGo) {
  DiagStream s;
  EXPECT_EQ(0, s.Receive({0x7e}));
  EXPECT_EQ(1, s.Receive({0x7e, 0x4b}));
  EXPECT_EQ(0x4b, s.buf[0]);
  EXPECT_EQ(0, s.Receive({0x0c, 0x7e}));
  EXPECT_EQ(gRequests, (std::vector<Bytes>{{0x4b, 0x0c, 0x7e}}));
}

TEST(DiagReceive, FullBufferWithoutAFrameEndIsDroppedWithOneLine) {
  ConsoleCapture console;
  DiagStream s;
  EXPECT_EQ(1000, s.Receive(Bytes(1000, 0x11)));
  EXPECT_EQ(0, s.Receive(Bytes(HOST_RECV_CAPACITY - 1000, 0x22)));
  EXPECT_EQ(console.Text(), "BTFTM: No diag frame end in 4096 bytes from remote, dropping them\n");
  // The stream goes on with what comes next.
  EXPECT_EQ(0, s.Receive({0x1d, 0x7e}));
  EXPECT_EQ(gRequests, (std::vector<Bytes>{{0x1d, 0x7e}}));
}

}  // namespace
