// What the capture name may point at: a directory gets a new file for every run, named
// by its start, readable by the user alone; names planted by another user, and pipes
// nobody reads, cost one line and the run goes on without capture.
#include "capture_check.h"
#include "harness.h"
#include "other_user.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

using namespace e2e;

namespace {

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A reset and its Command Complete through a raw mode run; the run's whole output.
std::string ResetThrough(LiveRun& run) {
  run.host->Send(Hex("01 03 0c 00"));
  EXPECT_FALSE(ReceiveUntil(*run.host, [](const Bytes& p) { return IsCommandComplete(p, 0x0C03); }).empty());
  run.host->Close();
  EXPECT_EQ(run.bridge.child->WaitExit(), 0);
  return run.bridge.child->Output();
}

struct Umask {
  explicit Umask(mode_t m) : old(umask(m)) {}
  ~Umask() { umask(old); }
  mode_t old;
};

}  // namespace

TEST(CaptureFiles, ADirectoryGetsANewPrivateFileForEveryRunNamedInItsSummary) {
  TempDir files;
  const Umask open(0);  // the file's mode must not depend on it
  std::vector<std::string> summaries;
  for (int i = 0; i < 3; ++i) {
    LiveRun run("raw", {"--type", "1"}, {{"TARNEXIO_BTSNOOP", files.path}});
    ASSERT_TRUE(run.ready) << run.ftmd.child->Output() << run.bridge.child->Output();
    const std::string out = ResetThrough(run);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex("Run summary: .*; capture (.*)\n"))) << out;
    summaries.push_back(m[1]);
    EXPECT_EQ(run.bridge.child->Count("BTFTM : Capturing HCI packets to " + summaries.back() + "\n"), 1) << out;
  }
  std::vector<std::string> names = NamesIn(files.path);
  ASSERT_EQ(names.size(), 3u);
  std::sort(names.begin(), names.end());
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string path = files.path + "/" + names[i];
    EXPECT_EQ(path, summaries[i]) << "the names sort as the runs started";
    EXPECT_TRUE(std::regex_match(names[i], std::regex("tarnexio-20[0-9]{6}-[0-9]{6}-[0-9]{3}-[0-9]+\\.btsnoop")))
        << names[i];
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << path;
    const tarnexio_test::Capture capture = tarnexio_test::ReadCapture(path);
    EXPECT_TRUE(capture.wholeRecords) << capture.problem;
    EXPECT_EQ(capture.packets.size(), 2u) << path;
  }
}

TEST(CaptureFiles, NamesThatAreNotTheUsersOwnFileCostOneLineAndTheRunGoesOn) {
  for (const tarnexio_test::PlantedCaptureName& c : tarnexio_test::PlantedCaptureNames()) {
    SCOPED_TRACE(c.name);
    TempDir files;
    std::string victim;
    const std::string name = c.plant(files.path, &victim);
    const std::string before = victim.empty() ? "" : Contents(victim);
    LiveRun run("raw", {"--type", "1"}, {{"TARNEXIO_BTSNOOP", name}});
    ASSERT_TRUE(run.ready) << run.ftmd.child->Output() << run.bridge.child->Output();
    const std::string out = ResetThrough(run);
    EXPECT_EQ(run.bridge.child->Count(c.said), 1) << out;
    EXPECT_EQ(run.bridge.child->Count(name), 1) << out;
    EXPECT_EQ(run.bridge.child->Count("running without capture\n"), 1) << out;
    EXPECT_EQ(run.bridge.child->Count("Capturing"), 0) << out;
    if (!victim.empty()) {
      EXPECT_EQ(Contents(victim), before);
    }
  }
}
