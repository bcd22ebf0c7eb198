#include "capture/hci_capture.h"
#include "capture/hci_counts.h"

#include "capture_check.h"
#include "wait_until.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using tarnexio_test::Capture;
using tarnexio_test::ReadCapture;

struct TempFile {
  TempFile() {
    char name[] = "/tmp/tarnexio-btsnoop-XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    path = name;
  }
  ~TempFile() { unlink(path.c_str()); }
  std::string path;
};

int64_t NowMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

// One packet of each kind and direction the bridge passes on, type byte first.
struct Packet {
  BtsnoopDirection direction;
  Bytes bytes;
};
const Packet kEveryKind[] = {
    {BTSNOOP_TO_CONTROLLER, {0x01, 0x03, 0x0C, 0x00}},
    {BTSNOOP_FROM_CONTROLLER, {0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00}},
    {BTSNOOP_TO_CONTROLLER, {0x02, 0x01, 0x00, 0x03, 0x00, 0xAA, 0xBB, 0xCC}},
    {BTSNOOP_FROM_CONTROLLER, {0x02, 0x01, 0x20, 0x02, 0x00, 0xAA, 0xBB}},
    {BTSNOOP_TO_CONTROLLER, {0x03, 0x06, 0x00, 0x02, 0x11, 0x22}},
    {BTSNOOP_FROM_CONTROLLER, {0x03, 0x06, 0x00, 0x01, 0x33}},
};

CaptureWriteResult Write(HciCapture* capture, const Packet& p, int* error, uint64_t drops = 0) {
  return CaptureWritePacket(capture, p.direction, p.bytes[0], p.bytes.data() + 1, p.bytes.size() - 1, drops, error);
}

int StartFile(HciCapture* capture, const std::string& path, CaptureFormat format = CAPTURE_BTSNOOP) {
  return CaptureStart(capture, format, CaptureSinkOfFile(std::fopen(path.c_str(), "wb")), "Tarnexio test");
}

TEST(HciCapture, EveryKindIsReadBackInOrderWithItsTimeAndTheDropsInEachFormat) {
  for (const CaptureFormat format : {CAPTURE_BTSNOOP, CAPTURE_PCAP, CAPTURE_PCAPNG}) {
    SCOPED_TRACE(format);
    TempFile file;
    HciCapture capture;
    ASSERT_EQ(StartFile(&capture, file.path, format), 0);
    const int64_t before = NowMicros();
    int error = 0;
    for (size_t i = 0; i < std::size(kEveryKind); ++i) ASSERT_EQ(Write(&capture, kEveryKind[i], &error, i), CAPTURE_WRITTEN);
    const int64_t after = NowMicros();
    CaptureStop(&capture, 7);

    const Capture read = ReadCapture(file.path);
    ASSERT_TRUE(read.wholeRecords) << read.problem;
    EXPECT_EQ(read.format, format);
    ASSERT_EQ(read.packets.size(), std::size(kEveryKind));
    uint64_t last = 0;
    for (size_t i = 0; i < read.packets.size(); ++i) {
      EXPECT_EQ(read.packets[i].bytes, kEveryKind[i].bytes) << i;
      EXPECT_EQ(read.packets[i].direction, kEveryKind[i].direction) << i;
      EXPECT_GE(read.packets[i].timestamp, BtsnoopTimestamp(before));
      EXPECT_LE(read.packets[i].timestamp, BtsnoopTimestamp(after));
      EXPECT_GE(read.packets[i].timestamp, last);
      last = read.packets[i].timestamp;
      EXPECT_EQ(read.packets[i].dropsSoFar, format == CAPTURE_PCAP ? 0 : i) << i;  // pcap has no place for it
    }
    EXPECT_EQ(read.statistics, format == CAPTURE_PCAPNG);
    if (format == CAPTURE_PCAPNG) {
      EXPECT_EQ(read.received, std::size(kEveryKind));
      EXPECT_EQ(read.dropped, 7u);
    }
  }
}

TEST(HciCapture, AFullDiskStopsTheCaptureOnceAndForAll) {
  HciCapture atStart;
  EXPECT_EQ(StartFile(&atStart, "/dev/full"), ENOSPC);
  int error = 0;
  EXPECT_EQ(Write(&atStart, kEveryKind[0], &error), CAPTURE_NOT_CAPTURING);

  TempFile file;
  HciCapture later;
  ASSERT_EQ(StartFile(&later, file.path), 0);
  ASSERT_EQ(Write(&later, kEveryKind[0], &error), CAPTURE_WRITTEN);
  {
    // The disk fills up under the open capture.
    MutexLock hold(&later.lock);
    ASSERT_NE(std::freopen("/dev/full", "wb", static_cast<std::FILE*>(later.sink.context)), nullptr);
  }
  EXPECT_EQ(Write(&later, kEveryKind[1], &error), CAPTURE_WRITE_FAILED);
  EXPECT_EQ(error, ENOSPC);
  EXPECT_EQ(Write(&later, kEveryKind[2], &error), CAPTURE_NOT_CAPTURING);
  CaptureStop(&later, 0);
  const Capture read = ReadCapture(file.path);
  EXPECT_TRUE(read.wholeRecords) << read.problem;
  EXPECT_EQ(read.packets.size(), 1u);
}

// ACL packets of every length up to 1021 data bytes, with the writer's id and a sequence
// number in their data.
Bytes NumberedAcl(int writer, int sequence) {
  const size_t data = 4 + size_t(sequence * 7 + writer * 13) % 1018;
  Bytes p = {uint8_t(writer), 0x00, uint8_t(data), uint8_t(data >> 8)};
  p.push_back(uint8_t(sequence));
  p.push_back(uint8_t(sequence >> 8));
  p.resize(4 + data, uint8_t(writer * 0x11));
  return p;
}

TEST(HciCapture, ThreadsWritingAtOnceNeverTearOrInterleaveRecords) {
  constexpr int kAclWriters = 2, kAclEach = 5000, kCommands = 500;
  TempFile file;
  HciCapture capture;
  ASSERT_EQ(StartFile(&capture, file.path), 0);
  std::vector<std::thread> threads;
  for (int w = 0; w < kAclWriters; ++w) {
    threads.emplace_back([&capture, w] {
      int error = 0;
      for (int i = 0; i < kAclEach; ++i) {
        const Bytes p = NumberedAcl(w, i);
        CaptureWritePacket(&capture, w == 0 ? BTSNOOP_TO_CONTROLLER : BTSNOOP_FROM_CONTROLLER, 0x02, p.data(),
                           p.size(), 0, &error);
      }
    });
  }
  threads.emplace_back([&capture] {
    int error = 0;
    for (int i = 0; i < kCommands; ++i) {
      const uint8_t command[] = {0x03, 0x0C, 0x01, uint8_t(i)};
      CaptureWritePacket(&capture, BTSNOOP_TO_CONTROLLER, 0x01, command, sizeof command, 0, &error);
      const uint8_t event[] = {0x0E, 0x02, 0x01, uint8_t(i)};
      CaptureWritePacket(&capture, BTSNOOP_FROM_CONTROLLER, 0x04, event, sizeof event, 0, &error);
    }
  });
  for (std::thread& t : threads) t.join();
  CaptureStop(&capture, 0);

  const Capture read = ReadCapture(file.path);
  ASSERT_TRUE(read.wholeRecords) << read.problem;
  ASSERT_EQ(read.packets.size(), size_t(kAclWriters * kAclEach + 2 * kCommands));
  int nextAcl[kAclWriters] = {};
  int commands = 0, events = 0;
  for (const tarnexio_test::CapturedPacket& p : read.packets) {
    if (p.bytes[0] == 0x01) {
      EXPECT_EQ(p.bytes[4], uint8_t(commands++));
    } else if (p.bytes[0] == 0x04) {
      EXPECT_EQ(p.bytes[4], uint8_t(events++));
    }
    if (p.bytes[0] != 0x02) continue;
    const int w = p.bytes[1];
    ASSERT_LT(w, kAclWriters);
    const Bytes expected = NumberedAcl(w, nextAcl[w]++);
    ASSERT_EQ(Bytes(p.bytes.begin() + 1, p.bytes.end()), expected) << "writer " << w;
  }
  EXPECT_EQ(commands, kCommands);
  EXPECT_EQ(events, kCommands);
}

// A pipe whose reader the test plays: it comes, stalls, takes everything and leaves.
struct PipeDouble {
  std::mutex lock;
  std::condition_variable changed;
  bool readerThere = false, stalled = false, gone = false;
  std::vector<uint8_t> read;  // what the current reader got
  std::vector<CapturePipeEvent> events;

  static PipeDouble* Of(void* context) { return static_cast<PipeDouble*>(context); }
  static long Write(void* context, const uint8_t* data, size_t length, int timeoutMs) {
    PipeDouble* d = Of(context);
    std::unique_lock<std::mutex> hold(d->lock);
    d->changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [d] { return !d->stalled || d->gone; });
    if (d->gone) return -EPIPE;
    if (d->stalled) return 0;
    const size_t n = std::min<size_t>(length, 100);  // a little at a time, as a pipe may take it
    d->read.insert(d->read.end(), data, data + n);
    d->changed.notify_all();
    return long(n);
  }
  static int Await(void* context, int timeoutMs) {
    PipeDouble* d = Of(context);
    std::unique_lock<std::mutex> hold(d->lock);
    return d->changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [d] { return d->readerThere; }) ? 0 : EAGAIN;
  }
  static void Drop(void* context) {
    PipeDouble* d = Of(context);
    std::lock_guard<std::mutex> hold(d->lock);
    d->readerThere = d->gone = false;
  }
  CaptureSink Sink() {
    CaptureSink sink;
    sink.context = this;
    sink.write = Write;
    sink.awaitReader = Await;
    sink.dropReader = Drop;
    return sink;
  }
  template <typename F>
  void Set(F change) {
    std::lock_guard<std::mutex> hold(lock);
    change();
    changed.notify_all();
  }
  bool WaitFor(const std::function<bool()>& condition) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, tarnexio_test::Scaled(std::chrono::seconds(5)), condition);
  }
};

TEST(HciCapture, APipeReaderGetsTheHeaderThenEveryPacketAndASlowOneNeverHoldsTheWriterUp) {
  PipeDouble pipe;
  HciCapture capture;
  capture.queueLimit = 4096;
  std::atomic<int> came{0}, left{0};
  ASSERT_EQ(CaptureStart(&capture, CAPTURE_PCAP, pipe.Sink(), "Tarnexio test",
                         [&](CapturePipeEvent e) { (e == CAPTURE_READER_CAME ? came : left)++; }),
            0);
  int error = 0;
  EXPECT_EQ(Write(&capture, kEveryKind[0], &error), CAPTURE_NOT_CAPTURING) << "no reader yet";

  pipe.Set([&] { pipe.readerThere = true; });
  ASSERT_TRUE(WaitUntil([&] { return came.load() == 1; }));
  for (const Packet& p : kEveryKind) EXPECT_EQ(Write(&capture, p, &error), CAPTURE_WRITTEN);
  const size_t header = 24, records = 6 * 20 + 37;  // pcap: 16 + 4 of direction per record
  ASSERT_TRUE(pipe.WaitFor([&] { return pipe.read.size() == header + records; })) << pipe.read.size();

  // A reader that takes nothing: every write returns at once; what finds the queue full is lost.
  pipe.Set([&] { pipe.stalled = true; });
  int lost = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 1000; ++i) lost += Write(&capture, kEveryKind[2], &error) == CAPTURE_LOST;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_GT(lost, 800);
  EXPECT_EQ(CaptureLost(&capture), uint64_t(lost));

  // It leaves: said once; the next reader starts with a header of its own.
  pipe.Set([&] { pipe.gone = true; });
  ASSERT_TRUE(WaitUntil([&] { return left.load() == 1; }));
  pipe.Set([&] {
    pipe.read.clear();
    pipe.stalled = false;
    pipe.readerThere = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return came.load() == 2; }));
  EXPECT_EQ(Write(&capture, kEveryKind[0], &error), CAPTURE_WRITTEN);
  CaptureStop(&capture, 0);
  std::lock_guard<std::mutex> hold(pipe.lock);
  ASSERT_EQ(pipe.read.size(), header + 20 + 4u);
  EXPECT_EQ(pipe.read[0], 0xD4);
}

TEST(HciCapture, AStopWithAReaderThatTakesNothingEndsInABoundedTimeAndCountsWhatNeverWentOut) {
  PipeDouble pipe;
  HciCapture capture;
  pipe.Set([&] { pipe.readerThere = true; });
  std::atomic<int> came{0};
  ASSERT_EQ(CaptureStart(&capture, CAPTURE_PCAPNG, pipe.Sink(), "Tarnexio test", [&](CapturePipeEvent) { came++; }), 0);
  ASSERT_TRUE(WaitUntil([&] { return came.load() == 1; }));
  pipe.Set([&] { pipe.stalled = true; });
  int error = 0;
  for (int i = 0; i < 10; ++i) EXPECT_EQ(Write(&capture, kEveryKind[2], &error), CAPTURE_WRITTEN);
  const auto start = std::chrono::steady_clock::now();
  CaptureStop(&capture, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(CaptureLost(&capture), 10u);
}

TEST(HciCounts, EachKindAndDirectionIsCountedWithItsBytes) {
  HciCounts counts;
  for (const Packet& p : kEveryKind) CountHciPacket(&counts, p.direction, p.bytes[0], p.bytes.size() - 1);
  CountHciPacket(&counts, BTSNOOP_TO_CONTROLLER, 0x02, 10);
  EXPECT_EQ(FormatHciCounts(counts),
            "commands 1, events 1, ACL to controller 2, ACL from controller 1, SCO to controller 1, "
            "SCO from controller 1, bytes to controller 29, bytes from controller 19");
}

}  // namespace
