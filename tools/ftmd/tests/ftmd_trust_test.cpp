// Whom ftmd serves: the modes of its directory and socket, the directories it refuses,
// and clients of another user on each endpoint.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "client.h"
#include "test_time.h"
#include "other_user.h"
#include "peers.h"

using namespace ftmd;
using namespace ftmd_test;
using tarnexio_test::AsUser;
using tarnexio_test::ConnectAndWatch;
using tarnexio_test::OtherUser;
using tarnexio_test::PeerVerdict;

namespace {

using tarnexio_test::ConnectLoopback;
using tarnexio_test::Occurrences;


// Connects to the H4 port and sends HCI_Reset; true when its Command Complete comes back.
bool h4Reset(int fd) {
  const uint8_t reset[] = {0x01, 0x03, 0x0C, 0x00};
  if (send(fd, reset, sizeof reset, MSG_NOSIGNAL) != ssize_t(sizeof reset)) return false;
  Bytes got;
  pollfd p{fd, POLLIN, 0};
  while (got.size() < 7 && poll(&p, 1, tarnexio_test::ScaledMs(3000)) == 1) {
    uint8_t buf[16];
    const ssize_t n = recv(fd, buf, 7 - got.size(), 0);
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  return got == Bytes{0x04, 0x0E, 4, 1, 0x03, 0x0C, 0};
}

// One request that completes at once, answered.
bool served(DevClient& c) {
  const Reply r = c.call(1, IOCTL_BTFTM_SELECT_SCO_INF, 0, {1});
  return r.got && r.kind == kMsgComplete && r.status == 0;
}

// Keeps `inFlight` connects to 127.0.0.1:port open at every moment for `ms`, opening a new
// one for each that the other end closes. Writes to readyFd once the first are under way.
int connectFlood(int port, size_t inFlight, int ms, int readyFd) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  auto open = [&] {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return pollfd{fd, POLLIN, 0};
  };
  std::vector<pollfd> fds;
  for (size_t i = 0; i < inFlight; ++i) fds.push_back(open());
  if (write(readyFd, "r", 1) != 1) return 1;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (poll(fds.data(), fds.size(), 50) < 0) return 2;
    for (pollfd& p : fds) {
      if (p.revents == 0) continue;
      close(p.fd);
      p = open();
    }
  }
  return 0;
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
  chmod(base.path.c_str(), 0755);
  return base.path + "/dev";
}

// DIR/dev in `base`, made for `owner`, so that ftmd can run as that user.
std::string deviceDirOf(const TempDir& base, const OtherUser& owner) {
  const std::string dir = deviceDirOthersMayReach(base);
  mkdir(dir.c_str(), 0700);
  return chown(dir.c_str(), owner.uid, owner.gid) == 0 ? dir : "(not given away)";
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
    const std::string dir = base.path + "/dev";
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
    const std::string target = base.path + "/dev";
    mkdir(target.c_str(), 0700);
    const std::string dir = c.plant(target);
    FtmdProcess p(dir, {});
    EXPECT_FALSE(p.ready());
    EXPECT_EQ(p.wait(), 1);
    EXPECT_EQ(Occurrences(p.output(), "\n"), 2u) << p.output();  // the start line and why it stops
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
  FtmdProcess p(dir.path, {"--tcp", "0", "--h4", "0"});
  ASSERT_TRUE(p.ready()) << p.output();
  const int tcpPort = readyPort(p.readyLine(), "TCP form"), h4Port = readyPort(p.readyLine(), "H4");
  struct Endpoint {
    const char* name;
    std::string path;
    int port;
  } endpoints[] = {{"device socket", deviceSocket(dir.path, 1), 0},
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
    EXPECT_TRUE(p.waitForOutput(line));
    EXPECT_EQ(Occurrences(p.output(0), line), 1u) << p.output(0);
  }
  // ftmd's own user is still served on each, one device connection after the other: one
  // controller serves one device connection at a time.
  {
    DevClient unixClient(deviceSocket(dir.path, 1));
    EXPECT_TRUE(served(unixClient));
  }
  {
    DevClient tcpClient(tcpPort);
    EXPECT_TRUE(served(tcpClient));
  }
  const int h4 = ConnectLoopback(h4Port);
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
  ASSERT_TRUE(served(root));
  // The second connection is told the controller is in use; its offer came before that.
  second.ioctl(1, IOCTL_BTFTM_SELECT_SCO_INF, 0, {1});  // told once the holder has had its grace to go
  ASSERT_EQ(second.recv(10000).status, uint32_t(kStatusInUse));
  const LaneToken token = root.offer();
  EXPECT_EQ(token.size, kLaneTokenSize);
  EXPECT_TRUE(token.Valid());
  EXPECT_FALSE(token == second.offer());
  // A group member who somehow has root's token, and then guesses: every try is closed
  // without ATTACHED, and the fourth wrong one costs that client its lanes.
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
  EXPECT_TRUE(p.waitForOutput(" presented 4 wrong lane tokens"));
  EXPECT_EQ(Occurrences(p.output(), "ftmd: uid " + std::to_string(other.uid) + " pid "), 1u) << p.output();
  EXPECT_EQ(Occurrences(p.output(), " presented 4 wrong lane tokens: its lanes are refused until one is forgiven, "
                                    "one each 5 s\n"),
            1u)
      << p.output();
  // Root's own lane still attaches and carries requests.
  DevClient lane(path);
  lane.sendRaw(BuildDevchanAttach(token));
  const Reply attached = lane.recv();
  EXPECT_TRUE(attached.got && attached.kind == kMsgAttached);
  EXPECT_TRUE(served(lane));
}

// A lane of the client that holds `token`, from this process: true when ftmd answers ATTACHED.
bool laneAttaches(const std::string& path, const LaneToken& token, int timeoutMs = 2000) {
  DevClient lane(path);
  lane.sendRaw(BuildDevchanAttach(token));
  const Reply r = lane.recv(timeoutMs);
  return r.got && r.kind == kMsgAttached;
}

TEST(FtmdTrust, ABadClientCostsItsOwnLanesForAWhileNotThoseOfItsUsersOtherBridges) {
  TempDir base;
  const std::string dir = deviceDirOthersMayReach(base), path = deviceSocket(dir, 1);
  FtmdProcess p(dir, {});
  ASSERT_TRUE(p.ready()) << p.output();
  // The bad client: another process of the same user, whose lanes present wrong tokens
  // (a buggy bridge). Its own good token is refused once it is barred, and taken again
  // once a failure has been forgiven. The controller has one holder, so the bad client
  // lets it go while the later bridge runs (pipes say when). Exit code: 0, or which step
  // went wrong.
  int badDone[2], laterDone[2];
  ASSERT_EQ(pipe(badDone), 0);
  ASSERT_EQ(pipe(laterDone), 0);
  const auto started = std::chrono::steady_clock::now();
  const pid_t bad = fork();
  ASSERT_GE(bad, 0);
  if (bad == 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(tarnexio_test::ScaledMs(20000));
    {
      DevClient device(path);
      if (!served(device)) _exit(4);
      for (int i = 0; i < 4; ++i) {
        LaneToken wrong = device.offer();
        wrong.bytes[1] ^= uint8_t(i + 1);
        if (laneAttaches(path, wrong)) _exit(1);
      }
      if (laneAttaches(path, device.offer())) _exit(2);
    }
    char go = 0;
    if (write(badDone[1], "x", 1) != 1) _exit(5);
    pollfd wait = {laterDone[0], POLLIN, 0};
    if (poll(&wait, 1, tarnexio_test::ScaledMs(20000)) != 1 || read(laterDone[0], &go, 1) != 1) _exit(5);
    // The later bridge has gone: the controller is this client's again once ftmd has seen it go.
    std::unique_ptr<DevClient> device;
    for (;;) {
      device = std::make_unique<DevClient>(path);
      if (served(*device)) break;
      if (std::chrono::steady_clock::now() > deadline) _exit(4);
      usleep(50 * 1000);
    }
    while (!laneAttaches(path, device->offer())) {
      if (std::chrono::steady_clock::now() > deadline) _exit(3);
      usleep(200 * 1000);  // a try a barred client may make as often as it likes: not counted
    }
    _exit(0);
  }
  // Meanwhile a later bridge of the same user gets its lanes.
  EXPECT_TRUE(p.waitForOutput(" presented 4 wrong lane tokens", tarnexio_test::ScaledMs(10000)));
  pollfd badLetGo = {badDone[0], POLLIN, 0};
  ASSERT_EQ(poll(&badLetGo, 1, tarnexio_test::ScaledMs(10000)), 1) << "the bad client never let the controller go";
  {
    std::unique_ptr<DevClient> later;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(tarnexio_test::ScaledMs(10000));
    for (;;) {
      later = std::make_unique<DevClient>(path);
      if (served(*later)) break;
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the later bridge never got the controller\n" << p.output();
      usleep(50 * 1000);
    }
    EXPECT_TRUE(laneAttaches(path, later->offer())) << p.output();
  }
  ASSERT_EQ(write(laterDone[1], "x", 1), 1);
  int status = -1;
  ASSERT_EQ(waitpid(bad, &status, 0), bad);
  for (int fd : {badDone[0], badDone[1], laterDone[0], laterDone[1]}) close(fd);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << p.output();
  // Forgiven no sooner than the time one failure takes to be.
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST(FtmdTrust, IdleConnectionsOfOneUserLeaveOthersTheirSlots) {
  OtherUser other;
  std::string whyNot;
  if (!tarnexio_test::FindOtherUser(other, whyNot)) GTEST_SKIP() << whyNot;
  // ftmd runs as the other user, so that root (this test) and that user are both served.
  TempDir base;
  const std::string dir = deviceDirOf(base, other);
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
  const int rootH4 = ConnectLoopback(h4Port);
  EXPECT_TRUE(h4Reset(rootH4));
  EXPECT_EQ(ConnectAndWatch("", tcpPort, 3000), PeerVerdict::kClosed);  // root's 65th
  // ftmd's own user still gets a device connection and the H4 port. Root's 64th holds the
  // controller, so the device connection's request is answered "in use": it got its slot.
  AsUser owner(other, false, [&](int) {
    DevClient c(tcpPort);
    c.ioctl(1, IOCTL_BTFTM_SELECT_SCO_INF, 0, {1});
    const Reply r = c.recv(10000);
    if (!r.got || r.kind != kMsgComplete || r.status != kStatusInUse) return 1;
    const int fd = ConnectLoopback(h4Port);
    return h4Reset(fd) ? 0 : 2;
  });
  EXPECT_EQ(owner.Wait(5000), 0) << p.output();
  EXPECT_TRUE(p.waitForOutput("ftmd: too many device connections of uid 0 at once"));
  close(rootH4);
}

TEST(FtmdTrust, ServedRoundTripsGoOnUnderAConnectFloodOfAnotherUser) {
  OtherUser other;
  std::string whyNot;
  if (!tarnexio_test::FindOtherUser(other, whyNot)) GTEST_SKIP() << whyNot;
  TempDir dir;
  FtmdProcess p(dir.path, {"--tcp", "0"});
  ASSERT_TRUE(p.ready()) << p.output();
  const int tcpPort = readyPort(p.readyLine(), "TCP form");
  DevClient client(tcpPort);
  // The round trips of a run on a connection already served, in microseconds, sorted;
  // empty when one failed.
  auto roundTrips = [&](int trips) {
    std::vector<long> us;
    for (int i = 0; i < trips; ++i) {
      const auto start = std::chrono::steady_clock::now();
      const Reply r = client.call(uint32_t(i + 1), IOCTL_BTFTM_SELECT_SCO_INF, 0, {1});
      us.push_back(long(
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count()));
      if (!r.got || r.kind != kMsgComplete || r.status != 0) return std::vector<long>();
    }
    std::sort(us.begin(), us.end());
    return us;
  };
  auto figures = [](const std::vector<long>& us) {
    return "median " + std::to_string(us[us.size() / 2]) + " us, 99th " + std::to_string(us[us.size() * 99 / 100]) +
           " us, slowest " + std::to_string(us.back()) + " us";
  };
  const std::vector<long> quiet = roundTrips(200);
  ASSERT_FALSE(quiet.empty());
  AsUser flood(other, true, [&](int readyFd) { return connectFlood(tcpPort, 500, 4000, readyFd); });
  ASSERT_TRUE(flood.WaitReady(5000));
  const std::vector<long> flooded = roundTrips(1000);
  ASSERT_FALSE(flooded.empty()) << "a round trip failed under the flood";
  std::printf("[ FIGURE   ] served round trips, quiet: %s\n", figures(quiet).c_str());
  std::printf("[ FIGURE   ] under 500 connects in flight of another user: %s\n", figures(flooded).c_str());
  EXPECT_EQ(flood.Wait(10000), 0);
  EXPECT_TRUE(p.waitForOutput("refused a client of the TCP form running as uid " + std::to_string(other.uid)));
}

// ftmd as another user, with --reset and a controller (the test, root) that takes the
// connection and never answers: an H4 client's flood while the reset waits is held back.
TEST(FtmdTrust, AFloodWhileTheResetWaitsIsHeldBack) {
  OtherUser other;
  std::string whyNot;
  if (!tarnexio_test::FindOtherUser(other, whyNot)) GTEST_SKIP() << whyNot;
  TempDir base;
  const std::string dir = deviceDirOf(base, other), path = base.path + "/controller";
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  Launch launch;
  launch.prefix = tarnexio_test::AsUserCommand(other);
  FtmdProcess p(dir, {"--controller", "unix:" + path, "--reset", "--h4", "0"}, launch);
  ASSERT_TRUE(p.ready()) << p.output();
  pollfd lp{listener, POLLIN, 0};
  ASSERT_EQ(poll(&lp, 1, tarnexio_test::ScaledMs(5000)), 1);
  const int controller = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);  // never read
  ASSERT_GE(controller, 0);
  const long before = vmRssKb(p.pid());
  const int h4 = ConnectLoopback(readyPort(p.readyLine(), "H4"));
  ASSERT_GE(h4, 0);
  // ACL packets of 1000 bytes, sent as fast as ftmd takes them, for 1.5 s of the reset's 2.
  Bytes flood;
  for (int i = 0; i < 64; ++i) {
    const Bytes acl{0x02, 0x01, 0x00, uint8_t(1000 & 0xFF), uint8_t(1000 >> 8)};
    flood.insert(flood.end(), acl.begin(), acl.end());
    flood.insert(flood.end(), 1000, uint8_t(i));
  }
  long most = before;
  size_t sent = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  while (std::chrono::steady_clock::now() < end) {
    pollfd wp{h4, POLLOUT, 0};
    if (poll(&wp, 1, 20) == 1) {
      const ssize_t n = send(h4, flood.data(), flood.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) sent += size_t(n);
    }
    most = std::max(most, vmRssKb(p.pid()));
  }
  std::printf("[ FIGURE   ] ftmd's resident size: %ld KiB before, at most %ld KiB while %zu KiB were sent\n", before,
              most, sent / 1024);
  EXPECT_LT(most, before + 4 * 1024) << "what ftmd holds grew with the flood";
  EXPECT_GT(sent, size_t(1) << 20) << "the flood did not get going";
  close(h4);
  close(controller);
  close(listener);
}

// Another user listens first on the path --controller unix: names; ftmd (root) takes that
// server only when --controller-user names its user.
TEST(FtmdTrust, AControllerServedByAnotherUserIsRefused) {
  OtherUser other;
  std::string whyNot;
  if (!tarnexio_test::FindOtherUser(other, whyNot)) GTEST_SKIP() << whyNot;
  TempDir base;
  const std::string theirs = deviceDirOf(base, other), path = theirs + "/controller";
  AsUser squatter(other, false, [&](int readyFd) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    chmod(theirs.c_str(), 0755);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0) return 1;
    if (chmod(path.c_str(), 0666) != 0 || write(readyFd, "r", 1) != 1) return 1;
    for (;;) pause();
  });
  ASSERT_TRUE(squatter.WaitReady(5000));
  TempDir dev;
  {
    FtmdProcess p(dev.path, {"--controller", "unix:" + path});
    EXPECT_FALSE(p.ready());
    EXPECT_EQ(p.wait(), 1);
    EXPECT_NE(p.output().find("ftmd: unix:" + path + ": not using it: its server runs as uid " +
                              std::to_string(other.uid) +
                              ", neither ftmd's user nor root (--controller-user names a user to trust)\n"),
              std::string::npos)
        << p.output();
    EXPECT_EQ(Occurrences(p.output(), "\n"), 2u) << p.output();  // the start line and why it stops
  }
  FtmdProcess trusted(dev.path, {"--controller", "unix:" + path, "--controller-user", std::to_string(other.uid)});
  EXPECT_TRUE(trusted.ready()) << trusted.output();
}

TEST(FtmdTrust, ASerialControllerMustBeACharacterDevice) {
  TempDir base;
  const std::string file = base.path + "/file", fifo = base.path + "/fifo";
  close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {file, fifo}) {
    TempDir dev;
    FtmdProcess p(dev.path, {"--controller", "serial:" + path});
    EXPECT_EQ(p.wait(), 1);
    EXPECT_NE(p.output().find("ftmd: serial:" + path + ": not a character device\n"), std::string::npos)
        << p.output();
  }
}

TEST(FtmdTrust, OwnerOfALoopbackPeerFromSocketDiagnostics) {
  OtherUser other;
  std::string whyNot;
  const bool haveOther = tarnexio_test::FindOtherUser(other, whyNot);
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);
  const int port = ntohs(a.sin_port);
  // The owner of the client end of the connection accepted as `ours`.
  auto ownerOf = [&](int ours, uid_t& uid) {
    sockaddr_in peer{};
    socklen_t n = sizeof peer;
    getpeername(ours, reinterpret_cast<sockaddr*>(&peer), &n);
    const TcpEnd local{peer.sin_addr.s_addr, ntohs(peer.sin_port)}, remote{htonl(INADDR_LOOPBACK), uint16_t(port)};
    return socketDiagOwner(local, remote, uid);
  };
  const int mine = ConnectLoopback(port), ours = accept(listener, nullptr, nullptr);
  uid_t uid = 12345;
  ASSERT_EQ(ownerOf(ours, uid), 1) << "the kernel's socket diagnostics did not answer";
  EXPECT_EQ(uid, geteuid());
  const TcpEnd nobody{htonl(INADDR_LOOPBACK), 1}, remote{htonl(INADDR_LOOPBACK), uint16_t(port)};
  EXPECT_EQ(socketDiagOwner(nobody, remote, uid), 0);
  if (haveOther) {
    AsUser theirs(other, false, [&](int readyFd) {
      const int fd = ConnectLoopback(port);
      if (fd < 0 || write(readyFd, "r", 1) != 1) return 1;
      for (;;) pause();
    });
    ASSERT_TRUE(theirs.WaitReady(5000));
    const int accepted = accept(listener, nullptr, nullptr);
    EXPECT_EQ(ownerOf(accepted, uid), 1);
    EXPECT_EQ(uid, other.uid);
    close(accepted);
  } else {
    std::printf("[ SKIPPED  ] a peer of another user: %s\n", whyNot.c_str());
  }
  close(mine);
  close(ours);
  close(listener);
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
