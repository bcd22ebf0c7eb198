// --btsnoop: what passes between ftmd's clients and their controllers, in one capture
// file, and each connection's counts when it ends.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fstream>
#include <functional>
#include <grp.h>
#include <sstream>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>

#include "capture_check.h"
#include "other_user.h"
#include "client.h"
#include "test_time.h"
#include "sim_controller.h"

using namespace ftmd;
using namespace ftmd_test;

namespace {

// The packets of a run as a test host sees them, type byte first, in the order they pass.
struct Traffic {
  std::vector<std::pair<BtsnoopDirection, Bytes>> packets;
  void add(BtsnoopDirection d, uint8_t type, const Bytes& p) {
    Bytes h4{type};
    h4.insert(h4.end(), p.begin(), p.end());
    packets.emplace_back(d, h4);
  }
};

Bytes h4Exchange(int fd, const Bytes& out, size_t replyBytes) {
  send(fd, out.data(), out.size(), MSG_NOSIGNAL);
  Bytes got;
  pollfd pf{fd, POLLIN, 0};
  while (got.size() < replyBytes && poll(&pf, 1, tarnexio_test::ScaledMs(3000)) > 0) {
    uint8_t buf[512];
    const ssize_t k = recv(fd, buf, replyBytes - got.size(), 0);
    if (k <= 0) break;
    got.insert(got.end(), buf, buf + k);
  }
  return got;
}

int h4Connect(const std::string& readyLine) {
  const int port = readyPort(readyLine, "H4");
  return port > 0 ? tarnexio_test::ConnectLoopback(port) : -1;
}

}  // namespace

TEST(FtmdCapture, EveryConnectionIsInOneFileAndCountedWhenItEnds) {
  TempDir dir;
  const std::string file = dir.path + "/ftmd.btsnoop";
  FtmdProcess p(dir.path, {"--h4", "0", "--btsnoop", file});
  ASSERT_TRUE(p.ready());
  Traffic sent;
  {
    DevClient c(deviceSocket(dir.path, 1));
    uint32_t id = 1;
    ASSERT_EQ(c.call(id++, IOCTL_BTFTM_ENABLE_FTM, 0).kind, kMsgPending);
    auto command = [&](const Bytes& cmd) {
      EXPECT_EQ(c.callPending(id++, IOCTL_BTFTM_SEND_HCI_CMD, 0, cmd).status, 0u);
      sent.add(BTSNOOP_TO_CONTROLLER, 0x01, cmd);
    };
    auto read = [&](uint32_t code, uint32_t size, uint8_t type) {
      const Bytes got = c.callPending(id++, code, size).out;
      sent.add(BTSNOOP_FROM_CONTROLLER, type, got);
      return got;
    };
    command(hciCommand(kOpReset));
    read(IOCTL_BTFTM_READ_EVENT, 262, 0x04);
    command(hciCommand(kOpCreateConnection, {6, 5, 4, 3, 2, 1, 0x18, 0xCC, 1, 0, 0, 0, 1}));
    read(IOCTL_BTFTM_READ_EVENT, 262, 0x04);
    const Bytes done = read(IOCTL_BTFTM_READ_EVENT, 262, 0x04);
    const Bytes acl{done[3], done[4], 3, 0, 0x7E, 0x7D, 0x7E};
    EXPECT_EQ(c.callPending(id++, IOCTL_BTFTM_SEND_ACL, 0, acl).status, 0u);
    sent.add(BTSNOOP_TO_CONTROLLER, 0x02, acl);
    EXPECT_EQ(read(IOCTL_BTFTM_READ_ACL, 1028, 0x02), acl);
    read(IOCTL_BTFTM_READ_EVENT, 262, 0x04);
  }
  // The connection's end line: every packet counted with its type byte.
  size_t bytes[2] = {};
  for (const auto& packet : sent.packets) bytes[packet.first] += packet.second.size();
  const std::string counts = "conn 1: commands 2, events 4, ACL to controller 1, ACL from controller 1, "
                             "SCO to controller 0, SCO from controller 0, bytes to controller " +
                             std::to_string(bytes[0]) + ", bytes from controller " + std::to_string(bytes[1]) + "\n";
  ASSERT_TRUE(p.waitForOutput(counts));

  const int fd = h4Connect(p.readyLine());
  ASSERT_GE(fd, 0);
  const Bytes reset{0x01, 0x03, 0x0C, 0x00};
  const Bytes complete = h4Exchange(fd, reset, 7);
  EXPECT_EQ(complete, (Bytes{0x04, 0x0E, 4, 1, 0x03, 0x0C, 0}));
  sent.packets.emplace_back(BTSNOOP_TO_CONTROLLER, reset);
  sent.packets.emplace_back(BTSNOOP_FROM_CONTROLLER, complete);
  ::close(fd);
  p.signal(SIGTERM);
  EXPECT_EQ(p.wait(), 0);
  EXPECT_NE(p.output().find("H4 client: commands 1, events 1, ACL to controller 0"), std::string::npos) << p.output();

  const tarnexio_test::Capture capture = tarnexio_test::ReadCapture(file);
  ASSERT_TRUE(capture.wholeRecords) << capture.problem;
  ASSERT_EQ(capture.packets.size(), sent.packets.size());
  for (size_t i = 0; i < sent.packets.size(); ++i) {
    EXPECT_EQ(capture.packets[i].direction, sent.packets[i].first) << i;
    EXPECT_EQ(capture.packets[i].bytes, sent.packets[i].second) << i;
  }
  if (!tarnexio_test::HaveProgram("tshark")) GTEST_SKIP() << "tshark is not installed";
  std::vector<tarnexio_test::DecodedFrame> frames;
  std::string problem;
  ASSERT_TRUE(tarnexio_test::DecodeWithTshark(file, &frames, &problem)) << problem;
  ASSERT_EQ(frames.size(), sent.packets.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].h4Type, sent.packets[i].second[0]) << i;
    EXPECT_EQ(frames[i].direction, int(sent.packets[i].first)) << i;
  }
}

// A reset through a type 1 connection: the client is served whatever became of the capture.
void expectServed(const std::string& dir) {
  DevClient c(deviceSocket(dir, 1));
  ASSERT_EQ(c.call(1, IOCTL_BTFTM_ENABLE_FTM, 0).kind, kMsgPending);
  EXPECT_EQ(c.callPending(2, IOCTL_BTFTM_SEND_HCI_CMD, 0, hciCommand(kOpReset)).status, 0u);
  EXPECT_EQ(c.callPending(3, IOCTL_BTFTM_READ_EVENT, 262).out, (Bytes{0x0E, 4, 1, 0x03, 0x0C, 0}));
}

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(FtmdCapture, ANameThatCannotBeUsedCostsOneLineAndNoTraffic) {
  struct Case {
    std::string name;
    std::function<std::string(const std::string& dir, std::string* victim)> plant;
    std::string said;
  };
  std::vector<Case> cases = {{"a missing directory",
                              [](const std::string&, std::string*) {
                                return std::string("/nonexistent-tarnexio-dir/ftmd.btsnoop");
                              },
                              "cannot create the btsnoop file"}};
  for (const tarnexio_test::PlantedCaptureName& c : tarnexio_test::PlantedCaptureNames())
    cases.push_back({c.name, c.plant, c.said});
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    TempDir dir, files;
    std::string victim;
    const std::string name = k.plant(files.path, &victim);
    const std::string before = victim.empty() ? "" : contents(victim);
    FtmdProcess p(dir.path, {"--btsnoop", name});
    ASSERT_TRUE(p.ready()) << p.output();
    expectServed(dir.path);
    ASSERT_TRUE(p.waitForOutput(k.said));
    const std::string out = p.output(0);
    const size_t first = out.find(k.said);
    ASSERT_NE(first, std::string::npos) << out;
    const size_t from = out.rfind('\n', first) + 1;
    EXPECT_NE(out.substr(from, out.find('\n', first) - from).find(name), std::string::npos) << out;
    EXPECT_EQ(out.find("capture", out.find('\n', first)), std::string::npos) << out;
    if (!victim.empty()) {
      EXPECT_EQ(contents(victim), before);
    }
  }
}

TEST(FtmdCapture, ADirectoryGetsANewFileForEveryRunReadableByTheGroupAlone) {
  tarnexio_test::OtherUser other;
  std::string whyNot;
  if (!tarnexio_test::FindOtherUser(other, whyNot)) GTEST_SKIP() << whyNot;
  const group* g = getgrgid(other.gid);
  ASSERT_NE(g, nullptr);
  TempDir files;
  const mode_t oldMask = umask(0);
  std::vector<std::string> named;
  for (int run = 0; run < 2; ++run) {
    TempDir dir;
    FtmdProcess p(dir.path, {"--group", g->gr_name, "--btsnoop", files.path});
    ASSERT_TRUE(p.ready()) << p.output();
    expectServed(dir.path);
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(), 0);
    std::smatch m;
    const std::string out = p.output();
    ASSERT_TRUE(std::regex_search(out, m, std::regex("stopped on SIGTERM.*; capture (.*)\n"))) << out;
    named.push_back(m[1]);
  }
  umask(oldMask);
  ASSERT_LT(named[0], named[1]);
  for (const std::string& path : named) {
    EXPECT_TRUE(std::regex_search(path, std::regex("/ftmd-20[0-9]{6}-[0-9]{6}-[0-9]{3}-[0-9]+\\.btsnoop$"))) << path;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 07777, 0640u) << path;
    EXPECT_EQ(st.st_gid, other.gid) << path;
    EXPECT_TRUE(tarnexio_test::ReadCapture(path).wholeRecords) << path;
  }
}

TEST(FtmdCapture, AFifoNeverHoldsTheStartUpAndItsReaderGetsAWholePcapng) {
  TempDir dir, files;
  const std::string fifo = files.path + "/ftmd.pcapng";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  FtmdProcess p(dir.path, {"--capture", fifo});
  ASSERT_TRUE(p.ready()) << p.output();
  EXPECT_TRUE(p.waitForOutput("capturing HCI packets to the pipe " + fifo + " once a reader opens it"));
  std::vector<uint8_t> got;
  std::thread reader([&] {
    const int fd = open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
    uint8_t buffer[4096];
    for (ssize_t n; fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0;) got.insert(got.end(), buffer, buffer + n);
    if (fd >= 0) ::close(fd);
  });
  ASSERT_TRUE(p.waitForOutput("a reader opened the pipe " + fifo));
  expectServed(dir.path);
  p.signal(SIGTERM);
  EXPECT_EQ(p.wait(), 0);
  reader.join();
  CaptureReader capture;
  ASSERT_TRUE(CaptureReadStart(&capture, got.data(), got.size()));
  EXPECT_EQ(capture.format, CAPTURE_PCAPNG);
  CaptureRecordView record{};
  std::vector<Bytes> packets;
  while (CaptureReadNext(&capture, got.data(), got.size(), &record) == CAPTURE_READ_RECORD)
    packets.emplace_back(record.packet, record.packet + record.length);
  EXPECT_EQ(capture.offset, got.size());
  EXPECT_EQ(packets, (std::vector<Bytes>{{0x01, 0x03, 0x0C, 0x00}, {0x04, 0x0E, 4, 1, 0x03, 0x0C, 0}}));
  EXPECT_TRUE(capture.statistics);
}
