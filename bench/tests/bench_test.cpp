// The load generator's frame codec and report, checked against the bridge's own encoder.
#include "../loadgen_net.h"
#include "diag/diag.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <unistd.h>

namespace loadgen {
int Report(const char* path);
}

namespace {

using loadgen::Bytes;

Bytes BridgeFrame(const Bytes& packet, int capacity) {
  Bytes frame((size_t)capacity + 8, 0xAA);
  int n = EncodeDiagFrame(packet.data(), (int)packet.size(), 1, frame.data(), capacity);
  for (size_t i = (size_t)capacity; i < frame.size(); ++i) EXPECT_EQ(frame[i], 0xAA) << "written past the room";
  frame.resize(n < 0 ? 0 : (size_t)n);
  return frame;
}

// Reserved bytes at every place around the eight-byte steps, with the room for the worst
// case (the fast path) and with only the room the frame needs (the checked path).
TEST(BenchFrames, BridgeEncoderAgreesWithTheLoadGenerator) {
  std::mt19937 rng(97);
  for (int length = 0; length <= 40; ++length) {
    for (int round = 0; round < 30; ++round) {
      Bytes packet((size_t)length);
      for (auto& b : packet) b = rng() % 3 == 0 ? (uint8_t)(0x7D + rng() % 2) : (uint8_t)rng();
      const Bytes expected = loadgen::EncodeFrame(packet);
      EXPECT_EQ(BridgeFrame(packet, 2 * (length + 2) + 1), expected) << "length " << length;
      EXPECT_EQ(BridgeFrame(packet, (int)expected.size()), expected) << "length " << length;
      EXPECT_TRUE(BridgeFrame(packet, (int)expected.size() - 1).empty());
      bool ok = false;
      EXPECT_EQ(loadgen::DecodeFrame(expected, &ok), packet);
      EXPECT_TRUE(ok);
    }
  }
  bool ok = true;
  loadgen::DecodeFrame({0x01, 0x02, 0x03, 0x7E}, &ok);
  EXPECT_FALSE(ok) << "a bad FCS must not decode";
}

TEST(BenchReport, MediansOverRoundsAndTheHighestPeak) {
  char path[] = "/tmp/bench_report_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string lines =
      "baseline rtt_median_us 10\nbaseline rtt_median_us 30\nbaseline rtt_median_us 20\n"
      "bridge rtt_median_us 22\nbridge peak_kib 3000\nbridge peak_kib 3500\ndiag peak_kib 3400\n"
      "bridge idle_cpu_ms 0\n";
  ASSERT_EQ(write(fd, lines.data(), lines.size()), (ssize_t)lines.size());
  close(fd);
  testing::internal::CaptureStdout();
  EXPECT_EQ(loadgen::Report(path), 0);
  const std::string table = testing::internal::GetCapturedStdout();
  unlink(path);
  EXPECT_NE(table.find("| Raw command round trip, median (us) | 20.0 | 22.0 | 1.10 |"), std::string::npos) << table;
  EXPECT_NE(table.find("| Peak resident memory, VmHWM (KiB) | n/a | 3500 |"), std::string::npos) << table;
  EXPECT_NE(table.find("| ACL loopback, 1021-byte packets, window 8 (MB/s) | n/a | n/a | n/a |"), std::string::npos);
}

TEST(BenchProc, ReadsItsOwnCpuTimeAndPeakMemory) {
  EXPECT_GE(loadgen::CpuTicks(getpid()), 0);
  EXPECT_GT(loadgen::PeakResidentKiB(getpid()), 0);
  EXPECT_EQ(loadgen::CpuTicks(-5), -1);
}

}  // namespace
