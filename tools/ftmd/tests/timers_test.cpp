// The timer queue on a manual clock: deadlines, order, poll timeouts and cancels, with
// no waiting at all.
#include <gtest/gtest.h>

#include <string>

#include "timers.h"

using namespace ftmd;
using std::chrono::milliseconds;

TEST(Timers, PollTimeoutRoundsUpAndRunDueTakesOnlyWhatIsDue) {
  ManualClock clock;
  TimerQueue timers(clock);
  std::string ran;
  EXPECT_EQ(timers.pollTimeoutMs(), -1);
  int owner = 0;
  timers.add(milliseconds(30), &owner, [&] { ran += "b"; });
  timers.add(milliseconds(10), &owner, [&] { ran += "a"; });
  timers.add(milliseconds(30), &owner, [&] { ran += "c"; });  // same deadline: after b

  const struct {
    int advanceMs;
    int pollMs;  // after advancing, before running
    const char* ranAfter;
  } steps[] = {
      {0, 11, ""},      // 10 ms left, rounded up so the loop does not wake early
      {9, 2, ""},       // 1 ms left
      {1, 0, "a"},      // due exactly at its deadline
      {19, 2, "a"},
      {1, 0, "abc"},
      {100, -1, "abc"},
  };
  for (const auto& step : steps) {
    clock.advance(milliseconds(step.advanceMs));
    EXPECT_EQ(timers.pollTimeoutMs(), step.pollMs) << step.ranAfter;
    timers.runDue();
    EXPECT_EQ(ran, step.ranAfter);
  }
  EXPECT_EQ(timers.size(), 0u);
}

TEST(Timers, CancelDropsOneOwnersTimersAndACallbackMayAddMore) {
  ManualClock clock;
  TimerQueue timers(clock);
  int a = 0, b = 0;
  std::string ran;
  timers.add(milliseconds(5), &a, [&] { ran += "a"; });
  timers.add(milliseconds(5), &b, [&] {
    ran += "b";
    timers.add(milliseconds(0), &b, [&] { ran += "B"; });  // due at once: runs in the same pass
    timers.add(milliseconds(5), &b, [&] { ran += "late"; });
  });
  timers.cancel(&a);
  clock.advance(milliseconds(5));
  timers.runDue();
  EXPECT_EQ(ran, "bB");
  timers.cancel(&b);
  clock.advance(milliseconds(5));
  timers.runDue();
  EXPECT_EQ(ran, "bB");
  EXPECT_EQ(timers.pollTimeoutMs(), -1);
}
