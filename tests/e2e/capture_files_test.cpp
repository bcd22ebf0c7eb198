// What the capture name may point at: a directory gets a new file for every run, named
// by its start, readable by the user alone; names planted by another user, and pipes
// nobody reads, cost one line and the run goes on without capture.
#include "capture_check.h"
#include "harness.h"
#include "other_user.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

using namespace e2e;

namespace {

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
    ASSERT_TRUE(run.ready) << run.why;
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
    const std::string before = victim.empty() ? "" : tarnexio_test::FileContents(victim);
    LiveRun run("raw", {"--type", "1"}, {{"TARNEXIO_BTSNOOP", name}});
    ASSERT_TRUE(run.ready) << run.why;
    const std::string out = ResetThrough(run);
    EXPECT_EQ(run.bridge.child->Count(c.said), 1) << out;
    EXPECT_EQ(run.bridge.child->Count(name), 1) << out;
    EXPECT_EQ(run.bridge.child->Count("running without capture\n"), 1) << out;
    EXPECT_EQ(run.bridge.child->Count("Capturing"), 0) << out;
    if (!victim.empty()) {
      EXPECT_EQ(tarnexio_test::FileContents(victim), before);
    }
  }
}

namespace {

TEST(CaptureFiles, AnotherUserWhoOpenedAFifoOthersMayReadGetsNothingOfTheCapture) {
  tarnexio_test::OtherUser other;
  std::string whyNot;
  if (!tarnexio_test::FindOtherUser(other, whyNot)) GTEST_SKIP() << whyNot;
  TempDir files;
  ASSERT_EQ(chmod(files.path.c_str(), 0755), 0);
  const std::string fifo = files.path + "/live.pcapng";
  {
    Umask shells(022);  // as `mkfifo live.pcapng` makes it: 0644
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  }
  int done[2];
  ASSERT_EQ(pipe2(done, O_CLOEXEC), 0);
  // The other user opens the FIFO for reading before the run and keeps reading until the
  // test says the run is over: its exit code is what it got (at most 100 bytes counted).
  tarnexio_test::AsUser reader(other, false, [&](int ready) {
    close(done[1]);
    const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return 101;
    if (write(ready, "r", 1) != 1) return 102;
    int got = 0;
    for (;;) {
      pollfd p[2] = {{fd, POLLIN, 0}, {done[0], POLLIN, 0}};
      if (poll(p, 2, 100) < 0) return 103;
      char buf[4096];
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) got += int(n);
      if (p[1].revents != 0) return got > 100 ? 100 : got;
    }
  });
  close(done[0]);
  ASSERT_TRUE(reader.WaitReady(5000));
  LiveRun run("raw", {"--type", "1"}, {{"TARNEXIO_CAPTURE", fifo}});
  ASSERT_TRUE(run.ready) << run.why;
  const std::string out = ResetThrough(run);
  close(done[1]);
  EXPECT_EQ(reader.Wait(5000), 0) << "bytes of the capture the other user read\n" << out;
  EXPECT_EQ(run.bridge.child->Count("BTFTM : Capture to " + fifo +
                                    " refused: others may read or write it (mode 0644), running without capture\n"),
            1)
      << out;
  EXPECT_EQ(run.bridge.child->Count("A reader opened the pipe"), 0) << out;
}

}  // namespace

namespace {

TEST(CaptureFiles, AFullDiskStopsTheCaptureAtItsLastWholeRecordAndTheTrafficGoesOn) {
  tarnexio_test::SmallDisk disk(8192);
  if (!disk.why.empty()) GTEST_SKIP() << disk.why;
  const std::string file = disk.path + "/run.pcapng";
  LiveRun run("raw", {"--type", "1"}, {{"TARNEXIO_CAPTURE", file}});
  ASSERT_TRUE(run.ready) << run.why;
  // Read Local Name: a 248-byte name in each event, some 300 bytes a record pair; forty
  // of them are more than the disk holds, and each is answered all the same.
  for (int i = 0; i < 40; ++i) {
    run.host->Send(Hex("01 14 0c 00"));
    ASSERT_FALSE(ReceiveUntil(*run.host, [](const Bytes& p) { return IsCommandComplete(p, 0x0C14); }).empty()) << i;
  }
  const std::string out = ResetThrough(run);
  EXPECT_EQ(run.bridge.child->Count("BTFTM : btsnoop capture to " + file +
                                    " stopped: write failed (error 28), traffic goes on\n"),
            1)
      << out;
  const tarnexio_test::Capture capture = tarnexio_test::ReadCapture(file);
  EXPECT_TRUE(capture.wholeRecords) << capture.problem;
  EXPECT_GT(capture.packets.size(), 10u);
  EXPECT_LT(capture.packets.size(), 80u);
  if (!tarnexio_test::HaveProgram("tshark")) return;
  std::vector<tarnexio_test::DecodedFrame> frames;
  std::string problem;
  ASSERT_TRUE(tarnexio_test::DecodeWithTshark(file, &frames, &problem)) << problem;
  EXPECT_EQ(frames.size(), capture.packets.size());
  for (const auto& f : frames) EXPECT_FALSE(f.malformed);
}

}  // namespace

namespace {

// The names in dir, sorted.
std::vector<std::string> SortedNames(const std::string& dir) {
  std::vector<std::string> names = NamesIn(dir);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(CaptureFiles, ARunThatCapturedNothingLeavesNoFileInACaptureDirectory) {
  TempDir files;
  // A port scanner: connects and resets. The run still ends as one that served a host.
  {
    LiveRun run("raw", {"--type", "1"}, {{"TARNEXIO_CAPTURE", files.path}});
    ASSERT_TRUE(run.ready) << run.why;
    run.host->Reset();
    EXPECT_EQ(run.bridge.child->WaitExit(), 0);
    EXPECT_EQ(run.bridge.child->Count("BTFTM : Capturing HCI packets to " + files.path + "/tarnexio-"), 1);
  }
  EXPECT_EQ(SortedNames(files.path), std::vector<std::string>{});
  // A run that captured a packet keeps its file.
  LiveRun run("raw", {"--type", "1"}, {{"TARNEXIO_CAPTURE", files.path}});
  ASSERT_TRUE(run.ready) << run.why;
  ResetThrough(run);
  EXPECT_EQ(SortedNames(files.path).size(), 1u);
}

TEST(CaptureFiles, TheCaptureKeepBoundsTheDirectoryToTheNewestOfItsOwnFiles) {
  TempDir files;
  // Others' files and other names stay, whatever their age.
  const std::string foreign = "tarnexio-20000101-000000-000-1.btsnoop", notes = "notes.txt";
  std::ofstream(files.path + "/" + notes) << "bench notes";
  std::ofstream(files.path + "/" + foreign) << "an older capture of another user";
  tarnexio_test::OtherUser other;
  std::string whyNot;
  const bool haveOther = tarnexio_test::FindOtherUser(other, whyNot);
  if (haveOther) {
    ASSERT_EQ(chown((files.path + "/" + foreign).c_str(), other.uid, other.gid), 0);
  }
  std::vector<std::string> made;
  for (int i = 0; i < 4; ++i) {
    LiveRun run("raw", {"--type", "1"}, {{"TARNEXIO_CAPTURE", files.path}, {"TARNEXIO_CAPTURE_KEEP", "2"}});
    ASSERT_TRUE(run.ready) << run.why;
    const std::string out = ResetThrough(run);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex("Run summary: .*; capture .*/([^/\n]*)\n"))) << out;
    made.push_back(m[1]);
  }
  std::vector<std::string> expected = {made[2], made[3], notes};
  if (haveOther) expected.push_back(foreign);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(SortedNames(files.path), expected);
  // A value that is no number of files is said and ignored.
  LiveRun run("raw", {"--type", "1"}, {{"TARNEXIO_CAPTURE", files.path}, {"TARNEXIO_CAPTURE_KEEP", "0"}});
  ASSERT_TRUE(run.ready) << run.why;
  const std::string out = ResetThrough(run);
  EXPECT_EQ(run.bridge.child->Count("BTFTM : TARNEXIO_CAPTURE_KEEP=0 is not a number of files from 1 to 1000000, "
                                    "ignored\n"),
            1)
      << out;
  EXPECT_EQ(SortedNames(files.path).size(), expected.size() + 1);
}

}  // namespace
