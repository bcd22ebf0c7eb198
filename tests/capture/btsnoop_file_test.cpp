#include "capture/btsnoop_file.h"
#include "capture/hci_counts.h"

#include "capture_check.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
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

BtsnoopWriteResult Write(BtsnoopFile* capture, const Packet& p, int* error) {
  return BtsnoopWritePacket(capture, p.direction, p.bytes[0], p.bytes.data() + 1, p.bytes.size() - 1, error);
}

TEST(BtsnoopFile, EveryKindIsReadBackInOrderWithTheTimeItWasWritten) {
  TempFile file;
  BtsnoopFile capture;
  ASSERT_EQ(BtsnoopStart(&capture, std::fopen(file.path.c_str(), "wb")), 0);
  const int64_t before = NowMicros();
  int error = 0;
  for (const Packet& p : kEveryKind) ASSERT_EQ(Write(&capture, p, &error), BTSNOOP_WRITTEN);
  const int64_t after = NowMicros();
  BtsnoopStop(&capture);

  const Capture read = ReadCapture(file.path);
  ASSERT_TRUE(read.wholeRecords) << read.problem;
  ASSERT_EQ(read.packets.size(), std::size(kEveryKind));
  uint64_t last = 0;
  for (size_t i = 0; i < read.packets.size(); ++i) {
    EXPECT_EQ(read.packets[i].bytes, kEveryKind[i].bytes) << i;
    EXPECT_EQ(read.packets[i].direction, kEveryKind[i].direction) << i;
    EXPECT_GE(read.packets[i].timestamp, BtsnoopTimestamp(before));
    EXPECT_LE(read.packets[i].timestamp, BtsnoopTimestamp(after));
    EXPECT_GE(read.packets[i].timestamp, last);
    last = read.packets[i].timestamp;
  }
}

TEST(BtsnoopFile, AFullDiskStopsTheCaptureOnceAndForAll) {
  BtsnoopFile atStart;
  EXPECT_EQ(BtsnoopStart(&atStart, std::fopen("/dev/full", "wb")), ENOSPC);
  int error = 0;
  EXPECT_EQ(Write(&atStart, kEveryKind[0], &error), BTSNOOP_NOT_CAPTURING);

  TempFile file;
  BtsnoopFile later;
  ASSERT_EQ(BtsnoopStart(&later, std::fopen(file.path.c_str(), "wb")), 0);
  ASSERT_EQ(Write(&later, kEveryKind[0], &error), BTSNOOP_WRITTEN);
  {
    // The disk fills up under the open capture.
    std::lock_guard<std::mutex> hold(later.lock);
    ASSERT_NE(std::freopen("/dev/full", "wb", later.file), nullptr);
  }
  EXPECT_EQ(Write(&later, kEveryKind[1], &error), BTSNOOP_WRITE_FAILED);
  EXPECT_EQ(error, ENOSPC);
  EXPECT_EQ(Write(&later, kEveryKind[2], &error), BTSNOOP_NOT_CAPTURING);
  BtsnoopStop(&later);
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

TEST(BtsnoopFile, ThreadsWritingAtOnceNeverTearOrInterleaveRecords) {
  constexpr int kAclWriters = 2, kAclEach = 5000, kCommands = 500;
  TempFile file;
  BtsnoopFile capture;
  ASSERT_EQ(BtsnoopStart(&capture, std::fopen(file.path.c_str(), "wb")), 0);
  std::vector<std::thread> threads;
  for (int w = 0; w < kAclWriters; ++w) {
    threads.emplace_back([&capture, w] {
      int error = 0;
      for (int i = 0; i < kAclEach; ++i) {
        const Bytes p = NumberedAcl(w, i);
        BtsnoopWritePacket(&capture, w == 0 ? BTSNOOP_TO_CONTROLLER : BTSNOOP_FROM_CONTROLLER, 0x02, p.data(),
                           p.size(), &error);
      }
    });
  }
  threads.emplace_back([&capture] {
    int error = 0;
    for (int i = 0; i < kCommands; ++i) {
      const uint8_t command[] = {0x03, 0x0C, 0x01, uint8_t(i)};
      BtsnoopWritePacket(&capture, BTSNOOP_TO_CONTROLLER, 0x01, command, sizeof command, &error);
      const uint8_t event[] = {0x0E, 0x02, 0x01, uint8_t(i)};
      BtsnoopWritePacket(&capture, BTSNOOP_FROM_CONTROLLER, 0x04, event, sizeof event, &error);
    }
  });
  for (std::thread& t : threads) t.join();
  BtsnoopStop(&capture);

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

TEST(HciCounts, EachKindAndDirectionIsCountedWithItsBytes) {
  HciCounts counts;
  for (const Packet& p : kEveryKind) CountHciPacket(&counts, p.direction, p.bytes[0], p.bytes.size() - 1);
  CountHciPacket(&counts, BTSNOOP_TO_CONTROLLER, 0x02, 10);
  EXPECT_EQ(FormatHciCounts(counts),
            "commands 1, events 1, ACL to controller 2, ACL from controller 1, SCO to controller 1, "
            "SCO from controller 1, bytes to controller 29, bytes from controller 19");
}

}  // namespace
