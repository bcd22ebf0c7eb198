// The load generator's report and its figures of a process.
#include "../loadgen_net.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace loadgen {
int Report(const char* path);
}

namespace {

std::string ReportOf(const std::string& lines) {
  char path[] = "/tmp/bench_report_XXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, lines.data(), lines.size()), (ssize_t)lines.size());
  close(fd);
  testing::internal::CaptureStdout();
  EXPECT_EQ(loadgen::Report(path), 0);
  unlink(path);
  return testing::internal::GetCapturedStdout();
}

// Ratios are taken round by round (a slow round slows both paths), so their median is not
// the ratio of the medians; a round with only one path has no ratio.
TEST(BenchReport, PairsRoundsAndShowsTheirSpread) {
  const std::string table = ReportOf(
      "baseline 1 rtt_median_us 10\nbaseline 2 rtt_median_us 30\nbaseline 3 rtt_median_us 20\n"
      "bridge 1 rtt_median_us 30\nbridge 2 rtt_median_us 33\nbridge 3 rtt_median_us 30\n"
      "bridge 4 rtt_median_us 90\n"
      "bridge 1 peak_kib 3000\nbridge 2 peak_kib 3500\ndiag 1 peak_kib 3400\n"
      "baseline 1 acl_w1_mb_s 60\nbridge 1 acl_w1_mb_s 30\nbridge 1 idle_cpu_ms 0\n"
      "vbaseline 1 rtt_median_us 40\nvbridge 1 rtt_median_us 50\nbridge 1 restart_median_ms 12.25\n");
  EXPECT_NE(table.find("| Raw command round trip, median (us) | 20.0 | 33.0 | 1.50 (1.10-3.00) | 0.58 | 0.033 |"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find("| ACL loopback, 1021-byte packets, window 1 (MB/s) | 60.00 | 30.00 | 0.50 | 100.49 |"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find("| Peak resident memory, VmHWM (KiB) | n/a | 3500 |"), std::string::npos) << table;
  // The btvirt rounds are paired with each other, not with the simulated controller's.
  EXPECT_NE(table.find("| btvirt behind both: raw command round trip, median (us) | 40.0 | 50.0 | 1.25 |"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find("restart loop, median (ms) | n/a | 12.2 |"), std::string::npos) << table;
  EXPECT_NE(table.find("| ACL loopback, 1021-byte packets, window 8 (MB/s) | n/a | n/a | n/a |"), std::string::npos);
  EXPECT_NE(table.find("| Raw command round trip with a btsnoop capture, median (us) | n/a | n/a | not measured"),
            std::string::npos);
}

TEST(BenchProc, ReadsItsOwnCpuTimeSwitchesAndPeakMemory) {
  const long long before = loadgen::CpuNanoseconds(getpid());
  const long long switches = loadgen::ContextSwitches(getpid());
  volatile unsigned spin = 0;
  for (unsigned i = 0; i < 20000000; ++i) spin = spin + i;
  usleep(1000);  // one voluntary switch at least
  EXPECT_GT(loadgen::CpuNanoseconds(getpid()), before);
  EXPECT_GT(loadgen::ContextSwitches(getpid()), switches);
  EXPECT_GT(loadgen::PeakResidentKiB(getpid()), 0);
  EXPECT_EQ(loadgen::CpuNanoseconds(-5), -1);
}

}  // namespace
