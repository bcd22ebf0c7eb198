// --btsnoop: what passes between ftmd's clients and their controllers, in one capture
// file, and each connection's counts when it ends.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>

#include "capture_check.h"
#include "client.h"
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
  while (got.size() < replyBytes && poll(&pf, 1, 3000) > 0) {
    uint8_t buf[512];
    const ssize_t k = recv(fd, buf, replyBytes - got.size(), 0);
    if (k <= 0) break;
    got.insert(got.end(), buf, buf + k);
  }
  return got;
}

int h4Connect(const std::string& readyLine) {
  std::smatch m;
  if (!std::regex_search(readyLine, m, std::regex("H4 on 127\\.0\\.0\\.1:([0-9]+)"))) return -1;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(std::stoi(m[1])));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

TEST(FtmdCapture, EveryConnectionIsInOneFileAndCountedWhenItEnds) {
  TempDir dir;
  const std::string file = dir.path() + "/ftmd.btsnoop";
  FtmdProcess p(dir.path(), {"--h4", "0", "--btsnoop", file});
  ASSERT_TRUE(p.ready());
  Traffic sent;
  {
    DevClient c(deviceSocket(dir.path(), 1));
    uint32_t id = 1;
    ASSERT_EQ(c.call(id++, kEnableFtm, 0).kind, kMsgPending);
    auto command = [&](const Bytes& cmd) {
      EXPECT_EQ(c.callPending(id++, kSendHciCmd, 0, cmd).status, 0u);
      sent.add(BTSNOOP_TO_CONTROLLER, 0x01, cmd);
    };
    auto read = [&](uint32_t code, uint32_t size, uint8_t type) {
      const Bytes got = c.callPending(id++, code, size).out;
      sent.add(BTSNOOP_FROM_CONTROLLER, type, got);
      return got;
    };
    command(hciCommand(kOpReset));
    read(kReadEvent, 262, 0x04);
    command(hciCommand(kOpCreateConnection, {6, 5, 4, 3, 2, 1, 0x18, 0xCC, 1, 0, 0, 0, 1}));
    read(kReadEvent, 262, 0x04);
    const Bytes done = read(kReadEvent, 262, 0x04);
    const Bytes acl{done[3], done[4], 3, 0, 0x7E, 0x7D, 0x7E};
    EXPECT_EQ(c.callPending(id++, kSendAcl, 0, acl).status, 0u);
    sent.add(BTSNOOP_TO_CONTROLLER, 0x02, acl);
    EXPECT_EQ(read(kReadAcl, 1028, 0x02), acl);
    read(kReadEvent, 262, 0x04);
  }
  // The connection's end line: every packet counted with its type byte.
  size_t bytes[2] = {};
  for (const auto& packet : sent.packets) bytes[packet.first] += packet.second.size();
  const std::string counts = "conn 1: commands 2, events 4, ACL to controller 1, ACL from controller 1, "
                             "SCO to controller 0, SCO from controller 0, bytes to controller " +
                             std::to_string(bytes[0]) + ", bytes from controller " + std::to_string(bytes[1]) + "\n";
  ASSERT_NE(p.output(1000).find(counts), std::string::npos) << p.output();

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

TEST(FtmdCapture, AFileThatCannotBeWrittenCostsOneLineAndNoTraffic) {
  struct Case {
    const char* file;
    const char* line;
  };
  const Case cases[] = {
      {"/nonexistent-tarnexio-dir/ftmd.btsnoop", "cannot create the btsnoop file"},
      {"/dev/full", "btsnoop capture to /dev/full stopped"},
  };
  for (const Case& k : cases) {
    TempDir dir;
    FtmdProcess p(dir.path(), {"--btsnoop", k.file});
    ASSERT_TRUE(p.ready()) << k.file;
    DevClient c(deviceSocket(dir.path(), 1));
    ASSERT_EQ(c.call(1, kEnableFtm, 0).kind, kMsgPending);
    EXPECT_EQ(c.callPending(2, kSendHciCmd, 0, hciCommand(kOpReset)).status, 0u);
    EXPECT_EQ(c.callPending(3, kReadEvent, 262).out, (Bytes{0x0E, 4, 1, 0x03, 0x0C, 0}));
    const std::string out = p.output(200);
    const size_t first = out.find(k.line);
    EXPECT_NE(first, std::string::npos) << out;
    EXPECT_EQ(out.find("btsnoop", out.find('\n', first)), std::string::npos) << out;
  }
}
