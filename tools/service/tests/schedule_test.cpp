#include "schedule.h"

#include <gtest/gtest.h>

namespace {

TEST(ServiceBackOff, DoublesFromOneSecondUpToTheCap) {
  const int expected[] = {1, 2, 4, 8, 16, 32, 60, 60};
  for (int failures = 1; failures <= 8; ++failures) {
    EXPECT_EQ(RetryDelaySeconds(failures), expected[failures - 1]) << failures;
  }
  // A bench whose driver stays missing for days still waits the cap, and no count overflows.
  EXPECT_EQ(RetryDelaySeconds(1000000), kMaxRetryDelaySeconds);
  EXPECT_EQ(RetryDelaySeconds(0), 1);
}

TEST(ServiceLogDays, DayNumbersAcrossMonthsYearsAndLeapDays) {
  struct Case {
    CivilDate date;
    long days;
  };
  const Case cases[] = {
      {{1970, 1, 1}, 0},       {{1970, 1, 2}, 1},       {{1969, 12, 31}, -1},
      {{2000, 2, 29}, 11016},  {{2000, 3, 1}, 11017},   {{2024, 2, 29}, 19782},
      {{2024, 3, 1}, 19783},   {{2100, 3, 1}, 47541},   {{2026, 12, 8}, 20795},
  };
  for (const Case& c : cases) EXPECT_EQ(DaysFromCivil(c.date), c.days) << c.date.year << "-" << c.date.month;
  // 2100 is no leap year: 28 February and 1 March are neighbours.
  EXPECT_EQ(DaysFromCivil({2100, 3, 1}) - DaysFromCivil({2100, 2, 28}), 1);
}

TEST(ServiceLogDays, FileNamesAndOnlyThoseAreRead) {
  EXPECT_EQ(LogFileName({2026, 1, 5}), "tarnexio-2026-01-05.log");
  CivilDate d{};
  ASSERT_TRUE(ParseLogFileName("tarnexio-2026-01-05.log", &d));
  EXPECT_EQ(d.year, 2026);
  EXPECT_EQ(d.month, 1);
  EXPECT_EQ(d.day, 5);
  for (const char* other : {"tarnexio.conf", "tarnexio-2026-1-05.log", "tarnexio-2026-01-05.log.bak",
                            "tarnexio-2026-13-01.log", "tarnexio-2026-00-10.log", "tarnexio-2026-01-32.log",
                            "tarnexio-2026_01_05.log", "tarnexio-+026-01-05.log", "Tarnexio-2026-01-05.txt",
                            "notes-2026-01-05.log", ""}) {
    EXPECT_FALSE(ParseLogFileName(other, &d)) << other;
  }
}

TEST(ServiceLogDays, KeepsTheLastDaysTodayIncluded) {
  const std::vector<std::string> names = {
      "tarnexio-2026-03-01.log", "tarnexio-2026-02-28.log", "tarnexio-2026-02-22.log", "tarnexio-2026-02-21.log",
      "tarnexio-2025-03-01.log", "tarnexio-2026-03-02.log", "tarnexio.conf", "tarnexio-old.log"};
  struct Case {
    int keepDays;
    std::vector<std::string> expired;
  };
  const Case cases[] = {
      {1, {"tarnexio-2026-02-28.log", "tarnexio-2026-02-22.log", "tarnexio-2026-02-21.log", "tarnexio-2025-03-01.log"}},
      {2, {"tarnexio-2026-02-22.log", "tarnexio-2026-02-21.log", "tarnexio-2025-03-01.log"}},
      // A week: 1 March back to 23 February.
      {7, {"tarnexio-2026-02-22.log", "tarnexio-2026-02-21.log", "tarnexio-2025-03-01.log"}},
      {8, {"tarnexio-2026-02-21.log", "tarnexio-2025-03-01.log"}},
      {365, {"tarnexio-2025-03-01.log"}},
      {366, {}},
  };
  // The day after the clock was set back: the file of "tomorrow" is kept.
  for (const Case& c : cases) EXPECT_EQ(ExpiredLogFiles(names, {2026, 3, 1}, c.keepDays), c.expired) << c.keepDays;
}

}  // namespace
