// Whom ftmd serves: the modes of its directory and socket, the directories it refuses,
// and clients of another user on each endpoint.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "client.h"
#include "other_user.h"
#include "peers.h"

using namespace ftmd;
using namespace ftmd_test;
using tarnexio_test::AsUser;
using tarnexio_test::ConnectAndWatch;
using tarnexio_test::OtherUser;
using tarnexio_test::PeerVerdict;

namespace {

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
  return n;
}

// Connects to the H4 port and sends HCI_Reset; true when its Command Complete comes back.
bool h4Reset(int fd) {
  const uint8_t reset[] = {0x01, 0x03, 0x0C, 0x00};
  if (send(fd, reset, sizeof reset, MSG_NOSIGNAL) != ssize_t(sizeof reset)) return false;
  Bytes got;
  pollfd p{fd, POLLIN, 0};
  while (got.size() < 7 && poll(&p, 1, 3000) == 1) {
    uint8_t buf[16];
    const ssize_t n = recv(fd, buf, 7 - got.size(), 0);
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  return got == Bytes{0x04, 0x0E, 4, 1, 0x03, 0x0C, 0};
}

// One request that completes at once, answered.
bool served(DevClient& c) {
  const Reply r = c.call(1, kSelectScoInf, 0, {1});
  return r.got && r.kind == kMsgComplete && r.status == 0;
}

int tcpConnect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The other user and its group's name, for a run with --group; false with why not.
bool otherUserAndGroup(OtherUser& other, std::string& groupName, std::string& whyNot) {
  if (!tarnexio_test::FindOtherUser(other, whyNot)) return false;
  const group* g = getgrgid(other.gid);
  if (g == nullptr) whyNot = "the other user's group has no name";
  if (g != nullptr) groupName = g->gr_name;
  return g != nullptr;
}

// DIR/dev in `base`, which others may pass through to reach it.
std::string deviceDirOthersMayReach(const TempDir& base) {
  chmod(base.path().c_str(), 0755);
  return base.path() + "/dev";
}

}  // namespace

TEST(FtmdTrust, SocketAndDirectoryModesWhateverTheUmask) {
  const group* g = getgrgid(getegid());
  ASSERT_NE(g, nullptr);
  const std::string groupName = g->gr_name;
  struct Case {
    int umask;
    bool group;
    unsigned socketMode, dirMode;
  } cases[] = {{000, false, 0600, 0700}, {077, false, 0600, 0700}, {022, false, 0600, 0700},
               {000, true, 0660, 0750},  {077, true, 0660, 0750}};
  for (const Case& c : cases) {
    SCOPED_TRACE("umask " + std::to_string(c.umask) + (c.group ? " with --group" : ""));
    TempDir base;
    const std::string dir = base.path() + "/dev";
    std::vector<std::string> args;
    if (c.group) args = {"--group", groupName};
    Launch launch;
    launch.umask = c.umask;
    FtmdProcess p(dir, args, launch);
    ASSERT_TRUE(p.ready()) << p.output();
    struct stat st;
    ASSERT_EQ(lstat(deviceSocket(dir, 1).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.socketMode);
    EXPECT_EQ(st.st_gid, getegid());
    ASSERT_EQ(lstat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.dirMode);
  }
}

TEST(FtmdTrust, UntrustedDirectoryIsRefused) {
  for (const auto& c : tarnexio_test::UntrustedDirectories()) {
    SCOPED_TRACE(c.name);
    TempDir base;
    const std::string target = base.path() + "/dev";
    mkdir(target.c_str(), 0700);
    const std::string dir = c.plant(target);
    FtmdProcess p(dir, {});
    EXPECT_FALSE(p.ready());
    EXPECT_EQ(p.wait(), 1);
    EXPECT_EQ(count(p.output(), "\n"), 2u) << p.output();  // the start line and why it stops
    EXPECT_NE(p.output().find("ftmd: refusing the device directory " + dir + ": " + c.reason(dir) + "\n"),
              std::string::npos)
        << p.output();
    struct stat st;
    EXPECT_NE(lstat(deviceSocket(target, 1).c_str(), &st), 0);  // nothing made in it, or where a link points
    unlink((target + "-link").c_str());
  }
}

TEST(FtmdTrust, AnotherUserIsRefusedOnEveryEndpoint) {
  OtherUser other;
  std::string whyNot;
  if (!tarnexio_test::FindOtherUser(other, whyNot)) GTEST_SKIP() << whyNot;
  TempDir dir;
  FtmdProcess p(dir.path(), {"--tcp", "0", "--h4", "0"});
  ASSERT_TRUE(p.ready()) << p.output();
  const int tcpPort = readyPort(p.readyLine(), "TCP form"), h4Port = readyPort(p.readyLine(), "H4");
  struct Endpoint {
    const char* name;
    std::string path;
    int port;
  } endpoints[] = {{"device socket", deviceSocket(dir.path(), 1), 0},
                   {"TCP form", "", tcpPort},
                   {"H4 port", "", h4Port}};
  for (const Endpoint& e : endpoints) {
    SCOPED_TRACE(e.name);
    // Twice: the second attempt is refused the same way, without another line.
    for (int attempt = 0; attempt < 2; ++attempt) {
      // The kept capability gets the other user past the socket's mode: ftmd itself decides.
      AsUser client(other, true, [&](int) { return int(ConnectAndWatch(e.path, e.port, 3000)); });
      EXPECT_EQ(client.Wait(5000), int(PeerVerdict::kClosed));
    }
    const std::string line = std::string("ftmd: refused a client of the ") + e.name + " running as uid " +
                             std::to_string(other.uid) + ": only root are served (reported once)\n";
    EXPECT_EQ(count(p.output(), line), 1u) << p.output();
  }
  // ftmd's own user is still served on each.
  DevClient unixClient(deviceSocket(dir.path(), 1)), tcpClient(tcpPort);
  EXPECT_TRUE(served(unixClient));
  EXPECT_TRUE(served(tcpClient));
  const int h4 = tcpConnect(h4Port);
  EXPECT_TRUE(h4Reset(h4));
  close(h4);
}

TEST(FtmdTrust, GroupMembersAreServed) {
  OtherUser other;
  std::string groupName, whyNot;
  if (!otherUserAndGroup(other, groupName, whyNot)) GTEST_SKIP() << whyNot;
  TempDir base;
  const std::string dir = deviceDirOthersMayReach(base);
  FtmdProcess p(dir, {"--group", groupName});
  ASSERT_TRUE(p.ready()) << p.output();
  // No capability this time: the group's modes let the member in.
  AsUser member(other, false, [&](int) {
    DevClient c(deviceSocket(dir, 1));
    return served(c) ? 0 : 1;
  });
  EXPECT_EQ(member.Wait(5000), 0) << p.output();
}

TEST(FtmdTrust, LanesAttachOnlyForTheSameUserWithAnUnguessableToken) {
  OtherUser other;
  std::string groupName, whyNot;
  if (!otherUserAndGroup(other, groupName, whyNot)) GTEST_SKIP() << whyNot;
  TempDir base;
  const std::string dir = deviceDirOthersMayReach(base), path = deviceSocket(dir, 1);
  FtmdProcess p(dir, {"--group", groupName});
  ASSERT_TRUE(p.ready()) << p.output();
  DevClient root(path), second(path);
  ASSERT_TRUE(served(root) && served(second));
  const LaneToken token = root.offer();
  EXPECT_EQ(token.size, kLaneTokenSize);
  EXPECT_TRUE(token.Valid());
  EXPECT_FALSE(token == second.offer());
  // A group member who somehow has root's token, and then guesses: every try is closed
  // without ATTACHED, and the fourth wrong one costs that user its lanes.
  AsUser member(other, false, [&](int) {
    int attached = 0;
    LaneToken guess = token;
    for (int i = 0; i < 5; ++i) {
      DevClient c(path);
      c.sendRaw(BuildDevchanAttach(guess));
      const Reply r = c.recv(2000);
      attached += r.got && r.kind == kMsgAttached;
      guess.bytes[0] ^= uint8_t(i + 1);
    }
    return attached;
  });
  EXPECT_EQ(member.Wait(15000), 0) << p.output();
  EXPECT_EQ(count(p.output(), "ftmd: uid " + std::to_string(other.uid) +
                                  " presented 4 wrong lane tokens: its connections get no more lanes\n"),
            1u)
      << p.output();
  // Root's own lane still attaches and carries requests.
  DevClient lane(path);
  lane.sendRaw(BuildDevchanAttach(token));
  const Reply attached = lane.recv();
  EXPECT_TRUE(attached.got && attached.kind == kMsgAttached);
  EXPECT_TRUE(served(lane));
}

TEST(FtmdTrust, IdleConnectionsOfOneUserLeaveOthersTheirSlots) {
  OtherUser other;
  std::string whyNot;
  if (!tarnexio_test::FindOtherUser(other, whyNot)) GTEST_SKIP() << whyNot;
  // ftmd runs as the other user, so that root (this test) and that user are both served.
  TempDir base;
  chmod(base.path().c_str(), 0755);
  const std::string dir = base.path() + "/dev";
  mkdir(dir.c_str(), 0700);
  ASSERT_EQ(chown(dir.c_str(), other.uid, other.gid), 0);
  Launch launch;
  launch.prefix = tarnexio_test::AsUserCommand(other);
  FtmdProcess p(dir, {"--tcp", "0", "--h4", "0"}, launch);
  ASSERT_TRUE(p.ready()) << p.output();
  const int tcpPort = readyPort(p.readyLine(), "TCP form"), h4Port = readyPort(p.readyLine(), "H4");
  // Root takes every device slot it has and the H4 port, and sits on them.
  std::vector<std::unique_ptr<DevClient>> idle;
  for (int i = 0; i < 64; ++i) {
    idle.push_back(i % 2 ? std::make_unique<DevClient>(tcpPort) : std::make_unique<DevClient>(deviceSocket(dir, 1)));
  }
  EXPECT_TRUE(served(*idle.back())) << p.output();  // the 64th
  const int rootH4 = tcpConnect(h4Port);
  EXPECT_TRUE(h4Reset(rootH4));
  EXPECT_EQ(ConnectAndWatch("", tcpPort, 3000), PeerVerdict::kClosed);  // root's 65th
  // ftmd's own user still gets a device connection and the H4 port.
  AsUser owner(other, false, [&](int) {
    DevClient c(tcpPort);
    if (!served(c)) return 1;
    const int fd = tcpConnect(h4Port);
    return h4Reset(fd) ? 0 : 2;
  });
  EXPECT_EQ(owner.Wait(5000), 0) << p.output();
  EXPECT_NE(p.output().find("ftmd: too many device connections of uid 0 at once"), std::string::npos);
  close(rootH4);
}

TEST(FtmdTrust, OwnerOfALoopbackPeerFromTheKernelTable) {
  // 127.0.0.1 as the kernel prints it on this (little-endian or big-endian) machine.
  const uint32_t lo = htonl(INADDR_LOOPBACK);
  char loHex[9];
  std::snprintf(loHex, sizeof loHex, "%08X", lo);
  const std::string l = loHex;
  const std::string header = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
  auto row = [&](const std::string& local, const std::string& remote, const char* state, const char* uid) {
    return "   0: " + local + " " + remote + " " + state + " 00000000:00000000 00:00000000 00000000  " + uid +
           "        0 4242 1 0000000000000000 20 4 30 10 -1\n";
  };
  const TcpEnd peer{lo, 0xC350}, ours{lo, 0x1F90};
  struct Case {
    const char* name;
    std::string table;
    bool found;
    uid_t uid;
  } cases[] = {
      {"the peer's row", header + row(l + ":1F90", l + ":C350", "01", "0") + row(l + ":C350", l + ":1F90", "01", "1000"),
       true, 1000},
      {"an IPv4-mapped row of the IPv6 table",
       header + row("0000000000000000FFFF0000" + l + ":C350", "0000000000000000FFFF0000" + l + ":1F90", "01", "1001"),
       true, 1001},
      {"only our own end", header + row(l + ":1F90", l + ":C350", "01", "0"), false, 0},
      {"a TIME_WAIT row shows no owner", header + row(l + ":C350", l + ":1F90", "06", "0"), false, 0},
      {"another port", header + row(l + ":C351", l + ":1F90", "01", "1000"), false, 0},
      {"an IPv6 address", header + row("00000000000000000000000001000000:C350", l + ":1F90", "01", "7"), false, 0},
      {"a cut line", header + "   0: " + l + ":C350 " + l + ":1F90 01\n", false, 0},
      {"empty", "", false, 0},
  };
  for (const Case& c : cases) {
    uid_t uid = 12345;
    EXPECT_EQ(tcpTableOwner(c.table, peer, ours, uid), c.found) << c.name;
    if (c.found) {
      EXPECT_EQ(uid, c.uid) << c.name;
    }
  }
}
