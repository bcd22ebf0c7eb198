// The report of a crashed btvirt: a process that died of a signal is named as crashed, with
// its signal, in a line of its own; one that runs or exited by itself is not; a watch fails
// its test for a crash and for nothing else. A shell stands in for btvirt.
#include "btvirt_watch.h"

#include <csignal>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

using namespace tarnexio_test;

namespace {

TEST(BtvirtWatch, ACrashIsNamedWithItsSignalAndNothingElseIs) {
  const struct {
    const char* script;
    const char* line;  // the start of the report, "" for none
  } cases[] = {
      {"kill -SEGV $$", "btvirt crashed (signal 11, Segmentation fault): the emulated controller died"},
      {"kill -PIPE $$", "btvirt crashed (signal 13, Broken pipe)"},
      {"exit 0", ""},
      {"exit 1", ""},
  };
  for (const auto& c : cases) {
    ChildProcess btvirt({"/bin/sh", "-c", c.script});
    ASSERT_NE(btvirt.WaitExit(Millis(10000)), -1) << c.script;
    const std::string report = BtvirtCrash(btvirt);
    if (*c.line == '\0') {
      EXPECT_EQ(report, "") << c.script;
    } else {
      EXPECT_EQ(report.rfind(c.line, 0), 0u) << c.script << ": " << report;
    }
  }
  ChildProcess running({"/bin/sh", "-c", "read line"});
  EXPECT_EQ(BtvirtCrash(running), "") << "a btvirt that runs has not crashed";
  EXPECT_TRUE(running.Running());
}

TEST(BtvirtWatch, AShellsStatusNamesACrashButNotTheEndOfARun) {
  EXPECT_EQ(BtvirtCrashFromShellStatus(128 + SIGSEGV).rfind("btvirt crashed (signal 11, ", 0), 0u);
  EXPECT_EQ(BtvirtCrashFromShellStatus(128 + SIGABRT).rfind("btvirt crashed (signal 6, ", 0), 0u);
  for (int ended : {0, 1, 128 + SIGTERM}) EXPECT_EQ(BtvirtCrashFromShellStatus(ended), "") << ended;
}

TEST(BtvirtWatch, FailsItsTestWhenTheBtvirtItWatchesCrashed) {
  ChildProcess crashed({"/bin/sh", "-c", "kill -SEGV $$"});
  ASSERT_NE(crashed.WaitExit(Millis(10000)), -1);
  EXPECT_NONFATAL_FAILURE({ BtvirtWatch watch(crashed); }, "btvirt crashed (signal 11, ");
  ChildProcess ended({"/bin/sh", "-c", "exit 0"});
  ASSERT_EQ(ended.WaitExit(Millis(10000)), 0);
  { BtvirtWatch watch(ended); }  // no failure
}

}  // namespace
