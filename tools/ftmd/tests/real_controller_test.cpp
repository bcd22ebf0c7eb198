// The real controller's byte work and state, without a controller: the stream reader over
// the H4 parser, the --controller forms, the HCI socket's failures, and the shared
// controller over a socket pair (held-back reading, the reset, loss and reopening).
#include <gtest/gtest.h>

#include <chrono>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "client.h"
#include "test_time.h"
#include "controller_stream.h"
#include "real_controller.h"

using namespace ftmd;
using ftmd_test::FakeHost;

namespace {

Bytes Hex(const char* text) {
  Bytes b;
  for (const char* p = text; *p;) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    b.push_back(uint8_t(std::stoul(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return b;
}

// What an emulated controller sent for Reset, Read_BD_ADDR, Read_Local_Version and
// Read_Buffer_Size, then ACL, SCO and ISO data.
const std::vector<Bytes> kRecorded = {
    Hex("04 0e 04 01 03 0c 00"),
    Hex("04 0e 0a 01 09 10 00 42 00 00 01 aa 00"),
    Hex("04 0e 0c 01 01 10 00 05 00 00 05 f1 05 00 00"),
    Hex("04 0e 0b 01 05 10 00 c0 00 00 01 00 00 00"),
    Hex("02 01 20 05 00 7e 7d 00 ff 01"),
    Hex("03 01 00 03 aa bb cc"),
    Hex("05 01 00 02 00 11 22"),
    Hex("04 13 05 01 01 00 01 00"),
};

Bytes Join(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

std::vector<Bytes> FeedInPieces(ControllerStream& s, const Bytes& data, const std::vector<size_t>& cuts) {
  std::vector<Bytes> got;
  size_t from = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(data.size());
  for (size_t end : ends) {
    const size_t took = s.feed(data.data() + from, end - from,
                               [&](const uint8_t* p, size_t n) { got.emplace_back(p, p + n); }, [] { return true; });
    EXPECT_EQ(took, end - from);
    from = end;
  }
  return got;
}

TEST(ControllerStream, EverySplitGivesThePacketsOfTheWholeStream) {
  const Bytes all = Join(kRecorded);
  for (size_t a = 0; a <= all.size(); ++a) {
    for (size_t b = a; b <= all.size(); b += 7) {
      ControllerStream s;
      ASSERT_EQ(FeedInPieces(s, all, {a, b}), kRecorded) << "cut at " << a << " and " << b;
      EXPECT_EQ(s.skippedBytes(), 0u);
    }
  }
  std::vector<size_t> everyByte;
  for (size_t i = 1; i < all.size(); ++i) everyByte.push_back(i);
  ControllerStream s;
  EXPECT_EQ(FeedInPieces(s, all, everyByte), kRecorded);
}

TEST(ControllerStream, BytesOutOfStepAreSkippedAndCountedWithoutLosingAPacket) {
  struct Case {
    const char* name;
    Bytes junk;
    uint64_t skipped;
  } cases[] = {
      {"a zero", Hex("00"), 1},
      {"bytes above every type", Hex("ff fe 80"), 3},
      {"a command, which a controller never sends", Hex("01"), 1},
      {"an ACL header longer than a read", Hex("02 ff ff ff ff"), 5},
  };
  for (const Case& c : cases) {
    std::vector<Bytes> parts;
    for (const Bytes& p : kRecorded) {
      parts.push_back(c.junk);
      parts.push_back(p);
    }
    const Bytes all = Join(parts);
    for (size_t cut : {size_t(0), size_t(1), size_t(3), all.size() / 2}) {
      ControllerStream s;
      EXPECT_EQ(FeedInPieces(s, all, {cut}), kRecorded) << c.name;
      EXPECT_EQ(s.skippedBytes(), c.skipped * kRecorded.size()) << c.name;
      EXPECT_EQ(s.resyncs(), kRecorded.size()) << c.name;
    }
  }
}

TEST(ControllerStream, StopsBetweenPacketsWhileThereIsNoRoom) {
  const Bytes all = Join(kRecorded);
  ControllerStream s;
  std::vector<Bytes> got;
  auto sink = [&](const uint8_t* p, size_t n) { got.emplace_back(p, p + n); };
  size_t room = 3, from = 0;
  from += s.feed(all.data(), all.size(), sink, [&] { return got.size() < room; });
  EXPECT_EQ(got.size(), 3u);
  EXPECT_EQ(from, kRecorded[0].size() + kRecorded[1].size() + kRecorded[2].size());
  room = 100;
  from += s.feed(all.data() + from, all.size() - from, sink, [&] { return got.size() < room; });
  EXPECT_EQ(from, all.size());
  EXPECT_EQ(got, kRecorded);
}

TEST(Transport, FormsAndTheirMistakes) {
  struct Case {
    const char* text;
    bool ok;
    Transport::Kind kind;
    const char* where;
    int number;  // baud, port or index
    bool rtscts;
  } cases[] = {
      {"serial:/dev/ttyUSB0", true, Transport::Serial, "/dev/ttyUSB0", 115200, false},
      {"serial:/dev/ttyUSB0,3000000,rtscts", true, Transport::Serial, "/dev/ttyUSB0", 3000000, true},
      {"serial:/dev/ttyS1,rtscts", true, Transport::Serial, "/dev/ttyS1", 115200, true},
      {"tcp-client:localhost:4000", true, Transport::TcpClient, "localhost", 4000, false},
      {"tcp-client:[::1]:4000", true, Transport::TcpClient, "::1", 4000, false},
      {"unix:/tmp/bt-server-bredr", true, Transport::Unix, "/tmp/bt-server-bredr", 0, false},
      {"hci-socket:1", true, Transport::HciSocket, "", 1, false},
      {"serial:", false, Transport::Serial, "", 0, false},
      {"serial:/dev/ttyS0,0", false, Transport::Serial, "", 0, false},
      {"serial:/dev/ttyS0,fast", false, Transport::Serial, "", 0, false},
      {"tcp-client:host", false, Transport::Serial, "", 0, false},
      {"tcp-client:host:70000", false, Transport::Serial, "", 0, false},
      {"unix:", false, Transport::Serial, "", 0, false},
      {"hci-socket:hci0", false, Transport::Serial, "", 0, false},
      {"usb:1", false, Transport::Serial, "", 0, false},
  };
  for (const Case& c : cases) {
    Transport s;
    const std::string err = parseTransport(c.text, s);
    EXPECT_EQ(err.empty(), c.ok) << c.text << ": " << err;
    if (!c.ok || !err.empty()) continue;
    EXPECT_EQ(s.kind, c.kind) << c.text;
    EXPECT_EQ(s.text, c.text);
    switch (c.kind) {
      case Transport::Serial:
        EXPECT_EQ(s.path, c.where);
        EXPECT_EQ(s.baud, unsigned(c.number));
        EXPECT_EQ(s.rtscts, c.rtscts);
        break;
      case Transport::TcpClient:
        EXPECT_EQ(s.host, c.where);
        EXPECT_EQ(s.port, c.number);
        break;
      case Transport::Unix: EXPECT_EQ(s.path, c.where); break;
      case Transport::HciSocket: EXPECT_EQ(s.hciIndex, c.number); break;
    }
  }
}

// The HCI socket's two calls, failing with a chosen error.
int g_socketErr = 0, g_bindErr = 0;
sockaddr_storage g_bound;
int FakeSocket(int domain, int type, int protocol) {
  if (g_socketErr) {
    errno = g_socketErr;
    return -1;
  }
  EXPECT_EQ(domain, 31);
  EXPECT_EQ(type & 0xFF, SOCK_RAW);
  EXPECT_EQ(protocol, 1);
  return dup(0);
}
int FakeBind(int, const sockaddr* addr, socklen_t len) {
  std::memcpy(&g_bound, addr, len);
  if (g_bindErr) {
    errno = g_bindErr;
    return -1;
  }
  return 0;
}

TEST(HciSocket, EachFailureSaysWhatToDo) {
  struct Case {
    int socketErr, bindErr;
    const char* says;
  } cases[] = {
      {EAFNOSUPPORT, 0, "this kernel has no Bluetooth sockets"},
      {EPERM, 0, "permission denied"},
      {0, ENODEV, "no such device hci2"},
      {0, EPERM, "permission denied"},
      {0, EBUSY, "hci2 is up or still being set up; bring it down first with 'hciconfig hci2 down' or "
                 "'btmgmt --index 2 power off'"},
      {0, EUSERS, "device busy"},
      {0, EIO, "cannot bind to the user channel of hci2"},
  };
  const HciSocketCalls fake = {FakeSocket, FakeBind};
  for (const Case& c : cases) {
    g_socketErr = c.socketErr;
    g_bindErr = c.bindErr;
    TransportFd t = openHciSocket(2, fake);
    EXPECT_FALSE(t.fd.valid());
    EXPECT_NE(t.error.find(c.says), std::string::npos) << t.error;
    EXPECT_EQ(t.error.rfind("hci-socket:2: ", 0), 0u) << t.error;
  }
  g_socketErr = g_bindErr = 0;
  TransportFd t = openHciSocket(2, fake);
  ASSERT_TRUE(t.fd.valid());
  EXPECT_TRUE(t.packets);
  const uint16_t* addr = reinterpret_cast<const uint16_t*>(&g_bound);
  EXPECT_EQ(addr[0], 31);  // family
  EXPECT_EQ(addr[1], 2);   // hci2
  EXPECT_EQ(addr[2], 1);   // the user channel
}

// The shared controller over one end of a socket pair; the test plays the controller on
// the other end. Every reopen gives a fresh pair.
struct RealTest : ::testing::Test {
  SteadyClock clock;  // a real event loop over real sockets
  TimerQueue timers{clock};
  int peer = -1;
  int opens = 0;
  bool refuse = false;
  bool closeAtOnce = false;  // the controller's end goes as soon as it is opened
  std::vector<std::chrono::steady_clock::time_point> openedAt;
  Transport transport;
  std::unique_ptr<RealController> real;
  FakeHost host;

  void SetUp() override {
    transport.kind = Transport::Unix;
    transport.text = "unix:test";
    real = std::make_unique<RealController>(transport, timers, resetOnAttach(), [this](const Transport&) {
      TransportFd t;
      if (refuse) {
        t.error = "unix:test: cannot connect: Connection refused";
        return t;
      }
      int sv[2];
      EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
      if (peer >= 0) close(peer);
      peer = sv[1];
      t.fd.reset(sv[0]);
      ++opens;
      openedAt.push_back(std::chrono::steady_clock::now());
      if (closeAtOnce) {
        close(peer);
        peer = -1;
      }
      return t;
    });
    std::string err;
    ASSERT_TRUE(real->open(err)) << err;
  }
  void TearDown() override {
    real.reset();
    if (peer >= 0) close(peer);
  }
  virtual bool resetOnAttach() const { return false; }

  // Runs the event loop's part for the controller until done() or about rounds × 5 ms.
  bool Loop(const std::function<bool()>& done, int rounds = 400) {
    rounds = tarnexio_test::ScaledMs(rounds);
    for (int i = 0; i < rounds && !done(); ++i) {
      pollfd p{real->fd(), real->pollEvents(), 0};
      int timeout = timers.pollTimeoutMs();
      timeout = timeout < 0 || timeout > 5 ? 5 : timeout;
      if (p.fd >= 0 && poll(&p, 1, timeout) > 0)
        real->onEvents(p.revents);
      else if (p.fd < 0)
        poll(nullptr, 0, timeout);
      timers.runDue();
    }
    return done();
  }
  void PeerSend(const Bytes& b) { ASSERT_EQ(write(peer, b.data(), b.size()), ssize_t(b.size())); }
  Bytes PeerReceive(size_t n, int rounds = 200) {
    Bytes got;
    rounds = tarnexio_test::ScaledMs(rounds);
    for (int i = 0; i < rounds && got.size() < n; ++i) {
      pollfd p{peer, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      uint8_t buf[256];
      const ssize_t r = read(peer, buf, std::min(sizeof buf, n - got.size()));
      if (r > 0) got.insert(got.end(), buf, buf + r);
    }
    return got;
  }
};

Bytes VendorEvent(int seq) { return {0x04, 0xFF, 0x02, uint8_t(seq), uint8_t(seq >> 8)}; }

TEST_F(RealTest, AHostWithoutRoomHoldsTheControllerBackAndLosesNothing) {
  std::string why;
  ASSERT_TRUE(real->claim(this, "conn 1", why));
  auto c = real->attach(host);
  ASSERT_TRUE(c);
  const int kEvents = 300;
  Bytes burst;
  for (int i = 0; i < kEvents; ++i) {
    const Bytes e = VendorEvent(i);
    burst.insert(burst.end(), e.begin(), e.end());
  }
  PeerSend(burst);
  host.room = 10;
  EXPECT_TRUE(Loop([&] { return host.got.size() == 10 && !(real->pollEvents() & POLLIN); }));
  EXPECT_FALSE(Loop([&] { return host.got.size() > 10; }, 40)) << "read on although the host had no room";
  host.room = 1000;
  c->resume();
  EXPECT_TRUE(Loop([&] { return host.got.size() == size_t(kEvents); }));
  for (int i = 0; i < int(host.got.size()); ++i) {
    EXPECT_EQ(host.got[i].first, Channel::Event);
    const Bytes want = VendorEvent(i);
    EXPECT_EQ(host.got[i].second, Bytes(want.begin() + 1, want.end())) << i;
  }
  EXPECT_NE(real->counts().find("received 300 events"), std::string::npos) << real->counts();
}

// A controller that goes while its host has no room is lost at once: a bridge waiting in
// FTM mode hears of it and does not wait for ever.
TEST_F(RealTest, AControllerThatGoesWhileTheHostHasNoRoomIsLostAtOnce) {
  std::string why;
  ASSERT_TRUE(real->claim(this, "conn 1", why));
  auto c = real->attach(host);
  host.room = 0;
  PeerSend(VendorEvent(1));
  EXPECT_FALSE(Loop([&] { return host.lost; }, 20));
  close(peer);
  peer = -1;
  refuse = true;
  EXPECT_TRUE(Loop([&] { return host.lost; }));
  EXPECT_FALSE(real->connected());
}

TEST_F(RealTest, OneHolderAtATimeAndTheLossReachesItsHost) {
  std::string why;
  ASSERT_TRUE(real->claim(&host, "conn 1", why));
  EXPECT_FALSE(real->claim(this, "conn 2", why));
  EXPECT_EQ(why, "the controller unix:test is in use by conn 1");
  const void* lostHolder = nullptr;
  real->onLost = [&](const void* h) { lostHolder = h; };
  auto c = real->attach(host);
  const Bytes reset = Hex("03 0c 00");
  c->command(reset.data(), reset.size());
  EXPECT_EQ(PeerReceive(4), Hex("01 03 0c 00"));

  close(peer);
  peer = -1;
  refuse = true;
  EXPECT_TRUE(Loop([&] { return host.lost; }));
  EXPECT_EQ(lostHolder, &host);
  EXPECT_FALSE(real->connected());
  EXPECT_EQ(real->attach(host), nullptr);
  c->command(reset.data(), reset.size());  // the host has not let go yet: counted, not sent
  c.reset();
  real->release(&host);
  EXPECT_FALSE(real->claim(this, "conn 2", why));
  EXPECT_EQ(why, "the controller unix:test is not connected");

  refuse = false;
  EXPECT_TRUE(Loop([&] { return real->connected(); }));
  EXPECT_EQ(opens, 2);
  ASSERT_TRUE(real->claim(this, "conn 2", why));
  FakeHost second;
  auto c2 = real->attach(second);
  ASSERT_TRUE(c2);
  PeerSend(VendorEvent(7));
  EXPECT_TRUE(Loop([&] { return second.got.size() == 1; }));
  EXPECT_NE(real->counts().find("1 packets for it lost with the transport; reopened 1 times"), std::string::npos)
      << real->counts();
}

// A controller that accepts and closes at once is retried ever more slowly; once one has
// answered, its next loss is retried soon again.
TEST_F(RealTest, TheRetriesSlowDownUntilTheControllerAnswers) {
  closeAtOnce = true;
  close(peer);
  peer = -1;
  ASSERT_TRUE(Loop([&] { return opens == 5; }, 1000));  // 100 + 200 + 400 + 800 ms
  auto gapMs = [&](int i) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(openedAt[size_t(i)] - openedAt[size_t(i - 1)]).count();
  };
  for (int i = 2; i < 5; ++i) EXPECT_GE(gapMs(i), gapMs(i - 1) * 3 / 2) << "retry " << i;
  closeAtOnce = false;
  ASSERT_TRUE(Loop([&] { return opens == 6 && real->connected(); }, 1000));
  PeerSend(VendorEvent(1));  // an answer, taken with no host attached
  EXPECT_TRUE(Loop([&] { return real->counts().find("1 packets dropped with no host") != std::string::npos; }));
  closeAtOnce = true;
  close(peer);
  peer = -1;
  ASSERT_TRUE(Loop([&] { return opens == 7; }, 1000));
  EXPECT_LT(gapMs(6), gapMs(4)) << "the retry after an answer is soon again";
}

struct ResetTest : RealTest {
  bool resetOnAttach() const override { return true; }
};

TEST_F(ResetTest, TheResetGoesFirstAndItsAnswerAndWhatCameBeforeStayWithFtmd) {
  std::string why;
  ASSERT_TRUE(real->claim(this, "conn 1", why));
  auto c = real->attach(host);
  const Bytes version = Hex("01 10 00");
  c->command(version.data(), version.size());
  EXPECT_EQ(PeerReceive(8, 30), Hex("01 03 0c 00")) << "the host's command waits for the reset";
  PeerSend(Join({VendorEvent(1), Hex("04 0e 04 01 03 0c 00")}));
  EXPECT_TRUE(Loop([&] {
    pollfd p{peer, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
  }));
  EXPECT_EQ(PeerReceive(4), Hex("01 01 10 00"));
  PeerSend(VendorEvent(2));
  EXPECT_TRUE(Loop([&] { return host.got.size() == 1; }));
  EXPECT_EQ(host.got[0].second, Hex("ff 02 02 00"));
}

// The whole ftmd with the test as its controller on a Unix socket: a client that does not
// read leaves the controller's bytes in the socket, and gets every event later, in order.
TEST(FtmdRealController, AClientThatDoesNotReadHoldsTheControllerBack) {
  ftmd_test::TempDir dir;
  const std::string path = dir.path + "/controller";
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ftmd_test::FtmdProcess ftmd(dir.path, {"--controller", "unix:" + path});
  ASSERT_TRUE(ftmd.ready()) << ftmd.output();
  pollfd p{listener, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, tarnexio_test::ScaledMs(5000)), 1);
  const int controller = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  close(listener);
  ASSERT_GE(controller, 0);

  ftmd_test::DevClient client(ftmd_test::deviceSocket(dir.path, 1));
  ASSERT_EQ(client.call(1, IOCTL_BTFTM_ENABLE_FTM, 0).kind, kMsgPending);
  const int kEvents = 2000;  // far more than a connection holds for its reads
  Bytes burst;
  for (int i = 0; i < kEvents; ++i) {
    const Bytes e = VendorEvent(i);
    burst.insert(burst.end(), e.begin(), e.end());
  }
  ASSERT_EQ(write(controller, burst.data(), burst.size()), ssize_t(burst.size()));
  // Until ftmd has read what it is going to read: the bytes it left stay unread.
  int unread = -1, same = 0;
  for (int i = 0; i < 250 * tarnexio_test::TimeScale() && same < 10; ++i) {
    int now = 0;
    ASSERT_EQ(ioctl(controller, SIOCOUTQ, &now), 0);
    same = now == unread ? same + 1 : 0;
    unread = now;
    poll(nullptr, 0, 20);
  }
  EXPECT_GT(unread, 0) << "ftmd read on while its client read nothing";

  for (int i = 0; i < kEvents; ++i) {
    const ftmd_test::Reply r = client.callPending(uint32_t(2 + i), IOCTL_BTFTM_READ_EVENT, 262);
    const Bytes want = VendorEvent(i);
    ASSERT_EQ(r.out, Bytes(want.begin() + 1, want.end())) << "event " << i;
  }
  EXPECT_EQ(ftmd.output().find("queue is full"), std::string::npos);
  close(controller);
}

}  // namespace
