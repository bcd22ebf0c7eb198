// The reader threads against a scripted driver on the device channel, with the sends to
// the test host captured.
#include "child_process.h"
#include "console_capture.h"
#include "device_double.h"
#include "driver/driver.h"
#include "forward/forward.h"
#include "recorders.h"
#include "test_record.h"
#include "wait_until.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using tarnexio_test::DeviceAction;
using tarnexio_test::DeviceDouble;
using tarnexio_test::DeviceRequest;
using tarnexio_test::TempDeviceDir;

namespace {

// The console lines that hold one of two pieces, in their order.
std::vector<std::string> LinesWith(const std::string& text, const std::string& a, const std::string& b) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (line.find(a) != std::string::npos || line.find(b) != std::string::npos) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class ReaderThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = std::make_unique<DeviceDouble>("ZELDROVE");
    // Reads stay pending until a test completes them; everything else succeeds at once.
    device_->SetScript([](const DeviceRequest& r) {
      bool read = r.code == IOCTL_BTFTM_READ_EVENT || r.code == IOCTL_BTFTM_READ_ACL || r.code == IOCTL_BTFTM_READ_SCO;
      return read ? DeviceAction::Pending() : DeviceAction::Complete(0);
    });
    console_ = std::make_unique<ConsoleCapture>();
    ctx_->driver.drvType = DRV_TYPE_ZELDROVE;
    ctx_->diagMode = 0;
    ctx_->driver.hDriver = CreateFileW(device_->DevicePath().c_str(), GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(ctx_->driver.hDriver.load(), INVALID_HANDLE_VALUE);
  }

  void TearDown() override {
    RunStopSequence(ctx_.get(), true);
    for (HANDLE thread : threads_) EXPECT_EQ(WaitForSingleObject(thread, tarnexio_test::ScaledMs(5000)), WAIT_OBJECT_0);
    std::string text = console_->Finish();
    if (HasFailure()) fprintf(stderr, "--- console ---\n%s--- end ---\n", text.c_str());
  }

  void Start(LPTHREAD_START_ROUTINE procedure, std::atomic<HANDLE>* field) {
    HANDLE thread = CreateThread(nullptr, 0, procedure, ctx_.get(), 0, nullptr);
    ASSERT_NE(thread, nullptr);
    field->store(thread);
    threads_.push_back(thread);
  }

  // Requests of one code so far.
  std::vector<DeviceRequest> Of(DWORD code) {
    std::vector<DeviceRequest> found;
    for (const DeviceRequest& r : device_->Requests())
      if (r.code == code) found.push_back(r);
    return found;
  }

  // Waits for the count-th request of code and returns it.
  DeviceRequest WaitForRead(DWORD code, size_t count) {
    EXPECT_TRUE(WaitUntil([&] { return Of(code).size() >= count; })) << "read " << count << " of " << code;
    std::vector<DeviceRequest> found = Of(code);
    return found.size() >= count ? found[count - 1] : DeviceRequest();
  }

  // Waits for the count-th read of code and completes it with output.
  void Deliver(DWORD code, size_t count, const Bytes& output) {
    DeviceRequest r = WaitForRead(code, count);
    ASSERT_TRUE(device_->CompletePending(r.id, 0, output));
  }

  bool ConsoleHas(const std::string& piece) {
    return WaitUntil([&] { return console_->Text().find(piece) != std::string::npos; });
  }
  // Waits until the reader has seen its count-th read go pending.
  bool PendingSeen(const std::string& line, size_t count) {
    return WaitUntil([&] { return tarnexio_test::Occurrences(console_->Text(), line) >= count; });
  }
  bool SentCount(size_t count) {
    return WaitUntil([&] { return Sent().size() >= count; });
  }

  // Stops the run as the console handler does and waits for every thread to leave.
  std::string StopAndCollect() {
    RunStopSequence(ctx_.get(), true);
    for (HANDLE thread : threads_) EXPECT_EQ(WaitForSingleObject(thread, tarnexio_test::ScaledMs(5000)), WAIT_OBJECT_0);
    return console_->Text();
  }

  std::vector<Bytes> Sent() const { return sends_.sends(); }
  std::vector<Bytes> SentOfType(BYTE type) const { return sends_.SendsOfType(type); }

  TempDeviceDir dir_;
  std::unique_ptr<DeviceDouble> device_;
  std::unique_ptr<ConsoleCapture> console_;
  TestRecord ctx_;
  HostSendRecorder sends_{&ctx_->host};
  std::vector<HANDLE> threads_;
};

const Bytes kCommandComplete = {0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00};

TEST_F(ReaderThreads, EventGoesOutBehindItsTypeByteAndCancelEndsTheThread) {
  Start(EventThread, &ctx_->eventReader.thread);
  DeviceRequest first = WaitForRead(IOCTL_BTFTM_READ_EVENT, 1);
  EXPECT_EQ(first.outSize, 262u);
  EXPECT_TRUE(first.input.empty());
  ASSERT_TRUE(device_->CompletePending(first.id, 0, kCommandComplete));
  ASSERT_TRUE(SentCount(1));
  EXPECT_EQ(Sent()[0], (Bytes{0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00}));
  ASSERT_TRUE(PendingSeen("BTFTM : EventThread: read Pending\n", 2));  // the next read waits again

  std::string text = StopAndCollect();
  EXPECT_EQ(text.find("BTFTM : EventThread++\nBTFTM : EventThread: read Pending\n"
                      "\nBTFTM : HCIEvent(from btsoc) [6]: 0e 04 01 03 0c 00 \n"
                      "BTFTM : EventThread: read Pending\n"),
            text.find("BTFTM : EventThread++\n"));
  EXPECT_TRUE(EndsWith(text, "FTMApp:Read:Error1: in deafult dwError=0x3E3\n"
                             "BTFTM : App is exiting, coming out of read thread\n"
                             "BTFTM : EventThread--\n"))
      << text;
  EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(ReaderThreads, EventInDiagModeIsALogFrame) {
  ctx_->diagMode = 1;
  Start(EventThread, &ctx_->eventReader.thread);
  Deliver(IOCTL_BTFTM_READ_EVENT, 1, kCommandComplete);
  ASSERT_TRUE(SentCount(1));
  EXPECT_EQ(Sent()[0], (Bytes{0x10, 0x00, 0x12, 0x00, 0x12, 0x00, 0x66, 0x13, 0xE5, 0x62, 0x2A, 0xC5, 0xFF,
                              0x01, 0x00, 0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00, 0xDD, 0xA3, 0x7E}));
}

TEST_F(ReaderThreads, LongestEventAndEveryKindOfFailedSend) {
  Bytes longest(257, 0x5A);
  longest[0] = 0x3E;
  longest[1] = 0xFF;
  Start(EventThread, &ctx_->eventReader.thread);
  Deliver(IOCTL_BTFTM_READ_EVENT, 1, longest);
  ASSERT_TRUE(SentCount(1));
  ASSERT_EQ(Sent()[0].size(), 258u);
  EXPECT_EQ(Sent()[0][0], 0x04);
  EXPECT_EQ(Sent()[0][257], 0x5A);

  const struct {
    int result;
    const char* line;
  } cases[] = {
      {HOST_SEND_NO_SOCKET, "BTFTM : EventThread, Can't find socket\n"},
      {HOST_SEND_FAILED, "BTFTM : EventThread, socket Send failed\n"},
      {3, "sent 3 bytes, less than 7\n"},
  };
  size_t read = 2;
  for (const auto& c : cases) {
    sends_.FailWith(c.result);
    Deliver(IOCTL_BTFTM_READ_EVENT, read++, kCommandComplete);
    EXPECT_TRUE(ConsoleHas(c.line)) << c.line;
  }
  EXPECT_TRUE(SentCount(4));
  // Each failed send is a packet the test host did not get, and the run summary says so.
  EXPECT_EQ(ctx_->tap.drops.byCause[DROP_NOT_SENT].load(), 3u);
  // The reader goes on after them: the next event is read and sent.
  sends_.FailWith(0);
  Deliver(IOCTL_BTFTM_READ_EVENT, read, kCommandComplete);
  EXPECT_TRUE(SentCount(5));
  EXPECT_EQ(ctx_->tap.drops.byCause[DROP_NOT_SENT].load(), 3u);
}

TEST_F(ReaderThreads, Type2RepliesAreUnpackedAndShortOnesDropped) {
  ctx_->driver.drvType = DRV_TYPE_BTFTMDRIVER;
  Start(EventThread, &ctx_->eventReader.thread);
  DeviceRequest first = WaitForRead(IOCTL_BTFTM_READ_EVENT, 1);
  EXPECT_EQ(first.input, (Bytes{4, 0, 0, 0}));
  EXPECT_EQ(first.outSize, 262u);

  Bytes reply = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0x0E, 13};
  for (int i = 0; i < 13; ++i) reply.push_back((BYTE)(0x20 + i));
  ASSERT_TRUE(device_->CompletePending(first.id, 0, reply));
  ASSERT_TRUE(SentCount(1));
  Bytes expected = {0x04};
  expected.insert(expected.end(), reply.begin() + 5, reply.end());
  EXPECT_EQ(Sent()[0], expected);
  EXPECT_TRUE(ConsoleHas("BTFTM: READ:returned 20 bytes\nOutput bytes: 0xa1 0xa2 0xa3 0xa4 0xa5 0xe 0xd 0x20 "));
  EXPECT_TRUE(ConsoleHas("\nBTFTM : HCIEvent(from btsoc) [15]: 0e 0d 20 21 "));

  Deliver(IOCTL_BTFTM_READ_EVENT, 2, {0x01, 0x02, 0x03});
  EXPECT_TRUE(ConsoleHas("BTFTM: READ:returned 3 bytes\nOutput bytes: 0x1 0x2 0x3 \n"
                         "BTFTM : EventThread, reply of 3 bytes holds no event, dropped\n"));
  Deliver(IOCTL_BTFTM_READ_EVENT, 3, {0x01, 0x02, 0x03, 0x04, 0x05});
  ASSERT_TRUE(SentCount(2));
  EXPECT_EQ(Sent().size(), 2u) << "the short reply must not be forwarded";
  EXPECT_EQ(Sent()[1], (Bytes{0x04, 0x00, 0x00}));
}

Bytes AclPacket(int dataLength, int deliveredData) {
  Bytes packet = {0x01, 0x20, (BYTE)(dataLength & 0xFF), (BYTE)(dataLength >> 8)};
  for (int i = 0; i < deliveredData; ++i) packet.push_back((BYTE)i);
  return packet;
}

TEST_F(ReaderThreads, AclPacketsAreCountedAndOverlongOnesDropped) {
  Start(AclThread, &ctx_->aclReader.thread);
  EXPECT_EQ(WaitForRead(IOCTL_BTFTM_READ_ACL, 1).outSize, 1028u);
  Deliver(IOCTL_BTFTM_READ_ACL, 1, AclPacket(27, 27));
  ASSERT_TRUE(SentCount(1));
  Bytes expected = {0x02};
  Bytes packet = AclPacket(27, 27);
  expected.insert(expected.end(), packet.begin(), packet.end());
  EXPECT_EQ(Sent()[0], expected);

  Deliver(IOCTL_BTFTM_READ_ACL, 2, AclPacket(1025, 1024));  // claims more than the read holds
  EXPECT_TRUE(ConsoleHas("\nBTFTM : Received #2 ACL packet from btsoc, length is: 1029\n"
                         "BTFTM : AclThread, data length 1025 is more than the read can hold (1024), dropped\n"));
  Deliver(IOCTL_BTFTM_READ_ACL, 3, AclPacket(1024, 1024));
  Deliver(IOCTL_BTFTM_READ_ACL, 4, AclPacket(0, 0));
  ASSERT_TRUE(SentCount(3));
  EXPECT_EQ(Sent()[1].size(), 1029u);
  EXPECT_EQ(Sent()[2], (Bytes{0x02, 0x01, 0x20, 0x00, 0x00}));

  ASSERT_TRUE(PendingSeen("BTFTM : AclThread: read Pending\n", 5));  // the stop finds a read waiting
  std::string text = StopAndCollect();
  EXPECT_EQ(tarnexio_test::Occurrences(text, "ACL packet from btsoc"), 4u);
  EXPECT_NE(text.find("\nBTFTM : Received #1 ACL packet from btsoc, length is: 31\n"), std::string::npos);
  EXPECT_NE(text.find("\nBTFTM : Received #4 ACL packet from btsoc, length is: 4\n"), std::string::npos);
  EXPECT_TRUE(EndsWith(text, "AclThread:Read:Error1: in deafult dwError=0x3E3\n"
                             "BTFTM : App is exiting, coming out of ACL read thread\n"
                             "BTFTM : AclThread--\n"))
      << text;
}

TEST_F(ReaderThreads, AclInDiagModeIsALogFrame) {
  ctx_->diagMode = 1;
  Start(AclThread, &ctx_->aclReader.thread);
  Deliver(IOCTL_BTFTM_READ_ACL, 1, AclPacket(27, 27));
  ASSERT_TRUE(SentCount(1));
  Bytes frame = Sent()[0];
  ASSERT_GE(frame.size(), 47u + 3u);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 16),
            (Bytes{0x10, 0x00, 0x2B, 0x00, 0x2B, 0x00, 0x68, 0x13, 0xE5, 0x62, 0x2A, 0xC5, 0xFF, 0x01, 0x00, 0x02}));
  EXPECT_EQ(frame.back(), 0x7E);
}

// An SCO reply of three slots for unit u; each slot gets its data length, or -1 when empty.
Bytes ScoReply(int unit, int n0, int n1, int n2) {
  Bytes reply(9 * unit, 0);
  int lengths[3] = {n0, n1, n2};
  for (int i = 0; i < 3; ++i) {
    if (lengths[i] < 0) continue;
    BYTE* slot = reply.data() + i * 3 * unit;
    slot[0] = (BYTE)(0x30 + i);
    slot[2] = (BYTE)lengths[i];
    for (int k = 0; k < lengths[i] && 3 + k < 3 * unit; ++k) slot[3 + k] = (BYTE)(0x80 + k);
  }
  return reply;
}

TEST_F(ReaderThreads, ScoReadsOnlyThroughTheGateAndTheLinkEndClosesIt) {
  Start(ScoThread, &ctx_->scoReader.thread);
  Start(EventThread, &ctx_->eventReader.thread);
  WaitForRead(IOCTL_BTFTM_READ_EVENT, 1);
  ASSERT_TRUE(ConsoleHas("BTFTM: ScoThread++\n"));
  // An eSCO link comes up; the gate is still closed, so nothing is read.
  Deliver(IOCTL_BTFTM_READ_EVENT, 1, {0x2C, 0x11, 0x00, 0x06, 0x00});
  ASSERT_TRUE(ConsoleHas("New sco connection handle is 0x06\n"));
  EXPECT_TRUE(Of(IOCTL_BTFTM_READ_SCO).empty());

  SetLastError(0);  // the selection reads the last error also after a success
  SelectScoInf(&ctx_->sco, &ctx_->driver, 1);
  DeviceRequest read = WaitForRead(IOCTL_BTFTM_READ_SCO, 1);
  EXPECT_EQ(read.outSize, 81u);
  ASSERT_TRUE(device_->CompletePending(read.id, 0, ScoReply(9, 24, -1, 24)));
  ASSERT_TRUE(WaitUntil([this] { return SentOfType(0x03).size() >= 2; }));
  std::vector<Bytes> sent = SentOfType(0x03);
  ASSERT_EQ(sent[0].size(), 28u);
  EXPECT_EQ(sent[0][1], 0x30);
  EXPECT_EQ(sent[1][1], 0x32) << "slot 2 follows slot 0";
  EXPECT_EQ(sent[1][4], 0x80);

  // The gate stays open: the next read is issued. Then the recorded link ends.
  DeviceRequest second = WaitForRead(IOCTL_BTFTM_READ_SCO, 2);
  Deliver(IOCTL_BTFTM_READ_EVENT, 2, {0x05, 0x04, 0x00, 0x06, 0x00, 0x13});
  ASSERT_TRUE(ConsoleHas("Sco connection 0x06 is disconnected\n"));
  EXPECT_TRUE(WaitUntil([this] {
    std::vector<DeviceRequest> selects = Of(IOCTL_BTFTM_SELECT_SCO_INF);
    return selects.size() == 2 && selects[1].input == Bytes{0};
  }));
  EXPECT_NE(WaitForSingleObject(ctx_->sco.ScoRxStartEvent.load(), 0), WAIT_OBJECT_0);
  // The read that was pending still completes; afterwards no further read is issued.
  ASSERT_TRUE(device_->CompletePending(second.id, 0, ScoReply(9, -1, 5, -1)));
  ASSERT_TRUE(WaitUntil([this] { return SentOfType(0x03).size() >= 3; }));
  WaitForRead(IOCTL_BTFTM_READ_EVENT, 3);
  EXPECT_EQ(Of(IOCTL_BTFTM_READ_SCO).size(), 2u);

  std::string text = StopAndCollect();
  EXPECT_EQ(Of(IOCTL_BTFTM_READ_SCO).size(), 2u);
  // Its last pass ended at the closed gate: no read was pending at the stop.
  EXPECT_EQ(LinesWith(text, "SCO read thread", "ScoThread"),
            (std::vector<std::string>{"BTFTM: ScoThread++", "BTFTM : App is exiting, coming out of SCO read thread",
                                      "BTFTM : ScoThread--"}));
  EXPECT_EQ(SentOfType(0x03).size(), 3u);
}

TEST_F(ReaderThreads, ScoSlotsAreCutFromTheDeliveredBytesOnly) {
  Start(ScoThread, &ctx_->scoReader.thread);
  SetLastError(0);  // the selection reads the last error also after a success
  SelectScoInf(&ctx_->sco, &ctx_->driver, 1);
  // Slot 0 claims more than its 27 bytes; slot 1 is whole; slot 2 was not delivered.
  Bytes reply = ScoReply(9, 30, 24, 24);
  reply.resize(54);
  Deliver(IOCTL_BTFTM_READ_SCO, 1, reply);
  EXPECT_TRUE(ConsoleHas("BTFTM : ScoThread, packet of 33 bytes does not fit slot 0, dropped\n"));
  ASSERT_TRUE(SentCount(1));
  // A later reply shorter than the one before leaves nothing of it behind.
  Bytes shortReply = ScoReply(9, 5, -1, -1);
  shortReply.resize(8);
  Deliver(IOCTL_BTFTM_READ_SCO, 2, shortReply);
  ASSERT_TRUE(SentCount(2));
  WaitForRead(IOCTL_BTFTM_READ_SCO, 3);
  std::vector<Bytes> sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0][1], 0x31);
  EXPECT_EQ(sent[0].size(), 28u);
  EXPECT_EQ(sent[1], (Bytes{0x03, 0x30, 0x00, 0x05, 0x80, 0x81, 0x82, 0x83, 0x84}));
}

TEST_F(ReaderThreads, ScoThreadWaitingAtTheGateEndsWithOnlyItsEndLines) {
  Start(ScoThread, &ctx_->scoReader.thread);
  ASSERT_TRUE(ConsoleHas("BTFTM: ScoThread++\n"));
  std::string text = StopAndCollect();
  EXPECT_TRUE(EndsWith(text, "BTFTM: ScoThread++\n"
                             "BTFTM : App is exiting, coming out of SCO read thread\nBTFTM : ScoThread--\n"))
      << text;
  EXPECT_TRUE(Of(IOCTL_BTFTM_READ_SCO).empty());
}

// A read the driver completes at once is handled like one that completed after a wait.
struct AtOnceCase {
  const char* name;
  DWORD drvType;
  DWORD code;
  int diagMode;
  Bytes output;       // the at-once reply
  const char* lines;  // from the at-once line through the handling of its data
  Bytes raw;          // raw mode: the send
  BYTE logCodeLow;    // diag mode: byte 6 of the log frame
};

void PrintTo(const AtOnceCase& c, std::ostream* os) { *os << c.name; }

class AtOnceReads : public ReaderThreads, public ::testing::WithParamInterface<AtOnceCase> {};

TEST_P(AtOnceReads, DataIsHandledAsAfterAWait) {
  const AtOnceCase& c = GetParam();
  std::atomic<int> reads{0};
  const DWORD code = c.code;
  const Bytes output = c.output;
  device_->SetScript([&reads, code, output](const DeviceRequest& r) {
    if (r.code != code) return DeviceAction::Complete(0);
    return ++reads == 1 ? DeviceAction::Complete(0, output) : DeviceAction::Pending();
  });
  ctx_->driver.drvType = c.drvType;
  ctx_->diagMode = c.diagMode;
  if (code == IOCTL_BTFTM_READ_SCO) {
    Start(ScoThread, &ctx_->scoReader.thread);
    SetLastError(0);
    SelectScoInf(&ctx_->sco, &ctx_->driver, 1);
  } else {
    Start(code == IOCTL_BTFTM_READ_ACL ? AclThread : EventThread,
          code == IOCTL_BTFTM_READ_ACL ? &ctx_->aclReader.thread : &ctx_->eventReader.thread);
  }
  ASSERT_TRUE(SentCount(1));
  WaitForRead(code, 2);
  EXPECT_TRUE(ConsoleHas(c.lines)) << c.name;
  std::vector<Bytes> sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  if (c.diagMode == 0) {
    EXPECT_EQ(sent[0], c.raw);
  } else {
    ASSERT_GT(sent[0].size(), 16u);
    EXPECT_EQ(sent[0][6], c.logCodeLow);
    EXPECT_EQ(sent[0].back(), 0x7E);
  }
}

const Bytes kType2Reply = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00};
const Bytes kScoAtOnce = ScoReply(9, -1, 2, -1);
const AtOnceCase kAtOnceCases[] = {
    {"event", DRV_TYPE_ZELDROVE, IOCTL_BTFTM_READ_EVENT, 0, kCommandComplete,
     "FTMApp:Read happened synchronously\n\nBTFTM : HCIEvent(from btsoc) [6]: 0e 04 01 03 0c 00 \n"
     "BTFTM : EventThread: read Pending\n",
     {0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00}, 0},
    {"event_diag", DRV_TYPE_ZELDROVE, IOCTL_BTFTM_READ_EVENT, 1, kCommandComplete,
     "FTMApp:Read happened synchronously\n\nBTFTM : HCIEvent(from btsoc) [6]: ", {}, 0x66},
    {"event_type2", DRV_TYPE_BTFTMDRIVER, IOCTL_BTFTM_READ_EVENT, 0, kType2Reply,
     "FTMApp:Read happened synchronously\nBTFTM: READ:returned 11 bytes\n", {0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00},
     0},
    {"event_type2_diag", DRV_TYPE_BTFTMDRIVER, IOCTL_BTFTM_READ_EVENT, 1, kType2Reply,
     "FTMApp:Read happened synchronously\nBTFTM: READ:returned 11 bytes\n", {}, 0x66},
    {"acl", DRV_TYPE_ZELDROVE, IOCTL_BTFTM_READ_ACL, 0, {0x01, 0x20, 0x01, 0x00, 0x99},
     "AclThread:Read happened synchronously\n\nBTFTM : Received #1 ACL packet from btsoc, length is: 5\n"
     "BTFTM : AclThread: read Pending\n",
     {0x02, 0x01, 0x20, 0x01, 0x00, 0x99}, 0},
    {"acl_diag", DRV_TYPE_ZELDROVE, IOCTL_BTFTM_READ_ACL, 1, {0x01, 0x20, 0x01, 0x00, 0x99},
     "AclThread:Read happened synchronously\n\nBTFTM : Received #1 ACL packet from btsoc, length is: 5\n", {}, 0x68},
    {"sco", DRV_TYPE_ZELDROVE, IOCTL_BTFTM_READ_SCO, 0, kScoAtOnce, "ScoThread:Read happened synchronously\n",
     {0x03, 0x31, 0x00, 0x02, 0x80, 0x81}, 0},
    {"sco_diag", DRV_TYPE_ZELDROVE, IOCTL_BTFTM_READ_SCO, 1, kScoAtOnce, "ScoThread:Read happened synchronously\n", {},
     0x70},
};

INSTANTIATE_TEST_SUITE_P(EveryReader, AtOnceReads, ::testing::ValuesIn(kAtOnceCases),
                         [](const ::testing::TestParamInfo<AtOnceCase>& p) { return std::string(p.param.name); });

TEST_F(ReaderThreads, VanishedDriverEndsTheRunOnce) {
  Start(EventThread, &ctx_->eventReader.thread);
  WaitForRead(IOCTL_BTFTM_READ_EVENT, 1);
  device_->Stop();
  // The thread ends by itself, without anybody stopping the run.
  ASSERT_EQ(WaitForSingleObject(threads_[0], tarnexio_test::ScaledMs(5000)), WAIT_OBJECT_0);
  std::string text = console_->Text();
  EXPECT_EQ(ctx_->exitFlag.load(), 1);
  EXPECT_EQ(ctx_->driver.hDriver.load(), nullptr);
  EXPECT_TRUE(EndsWith(text, "FTMApp:Read:Error1: in deafult dwError=0x48F\n"
                             "BTFTM : EventThread, driver device is gone (Error -0x48F), stopping\n"
                             "BTFTM : App is exiting, coming out of read thread\n"
                             "BTFTM : EventThread--\n"))
      << text;
  EXPECT_EQ(tarnexio_test::Occurrences(text, "driver device is gone"), 1u);
  EXPECT_EQ(Of(IOCTL_BTFTM_READ_EVENT).size(), 1u);
}

TEST_F(ReaderThreads, VanishedDriverAlsoEndsAclAndScoReaders) {
  Start(AclThread, &ctx_->aclReader.thread);
  Start(ScoThread, &ctx_->scoReader.thread);
  WaitForRead(IOCTL_BTFTM_READ_ACL, 1);
  device_->Stop();
  for (HANDLE thread : threads_) ASSERT_EQ(WaitForSingleObject(thread, tarnexio_test::ScaledMs(5000)), WAIT_OBJECT_0);
  std::string text = console_->Text();
  EXPECT_EQ(tarnexio_test::Occurrences(text, "BTFTM : AclThread, driver device is gone (Error -0x48F), stopping\n"), 1u);
  EXPECT_NE(text.find("BTFTM : AclThread--\n"), std::string::npos);
  EXPECT_NE(text.find("BTFTM : ScoThread--\n"), std::string::npos);
}

}  // namespace
