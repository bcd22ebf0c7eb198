#include "wire/capture_name.h"

#include <gtest/gtest.h>

TEST(CaptureName, TheFormatFollowsTheEnding) {
  const struct {
    const char* name;
    CaptureFormat format;
  } cases[] = {
      {"run.btsnoop", CAPTURE_BTSNOOP}, {"run", CAPTURE_BTSNOOP},       {"run.pcap", CAPTURE_PCAP},
      {"RUN.PCAP", CAPTURE_PCAP},       {"run.pcapng", CAPTURE_PCAPNG}, {"run.pcapng.btsnoop", CAPTURE_BTSNOOP},
      {"pcap", CAPTURE_BTSNOOP},        {"run.pcap.old", CAPTURE_BTSNOOP},
  };
  for (const auto& c : cases) EXPECT_EQ(CaptureFormatOfName(c.name), c.format) << c.name;
}

TEST(CaptureName, NamesCarryTheUtcStartToTheMillisecondAndSortByIt) {
  const struct {
    int64_t millis;
    const char* name;
  } cases[] = {
      {0, "tarnexio-19700101-000000-000-42.btsnoop"},
      {951782400000 + 86399999, "tarnexio-20000229-235959-999-42.btsnoop"},  // a leap day's last moment
      {1796724902123, "tarnexio-20261208-101502-123-42.btsnoop"},
      {4102444800000, "tarnexio-21000101-000000-000-42.btsnoop"},
  };
  std::string before;
  for (const auto& c : cases) {
    const std::string name = CaptureFileName("tarnexio", c.millis, 42, 0);
    EXPECT_EQ(name, c.name);
    EXPECT_LT(before, name);
    before = name;
  }
  EXPECT_EQ(CaptureFileName("ftmd", 0, 7, 2), "ftmd-19700101-000000-000-7-2.btsnoop");
}

TEST(CaptureName, OnlyNamesOfTheProgramsOwnShapeAreItsCaptureFiles) {
  const struct {
    const char* name;
    bool ours;
  } cases[] = {
      {"tarnexio-20261208-101502-123-4711.btsnoop", true},
      {"tarnexio-20261208-101502-123-4711-2.btsnoop", true},
      {"tarnexio-20261208-101502-123-4711.pcapng", false},
      {"ftmd-20261208-101502-123-4711.btsnoop", false},
      {"tarnexio-20261208-101502-123-.btsnoop", false},
      {"tarnexio-2026120-101502-123-4711.btsnoop", false},
      {"tarnexio-20261208-101502-123-4711-.btsnoop", false},
      {"tarnexio-20261208-101502-123-4711-2-3.btsnoop", false},
      {"tarnexio-20261208-101502-123-47x1.btsnoop", false},
      {"tarnexio-20261208-101502-123-4711.btsnoop.old", false},
      {"notes-tarnexio-20261208-101502-123-4711.btsnoop", false},
      {"tarnexio.btsnoop", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsCaptureFileName("tarnexio", c.name), c.ours) << c.name;
  // What CaptureFileName gives is always one.
  for (unsigned attempt : {0u, 1u, 99u})
    EXPECT_TRUE(IsCaptureFileName("ftmd", CaptureFileName("ftmd", 1765188902123, 4711, attempt))) << attempt;
}
