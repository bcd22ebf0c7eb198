// Controller traffic through a running ftmd: the simulated controller's answers over the
// device channel (both forms), SCO slots, generated remote traffic, and the H4 port.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <memory>
#include <thread>
#include <unistd.h>

#include "client.h"
#include "test_time.h"
#include "sim_controller.h"

using namespace ftmd;
using namespace ftmd_test;

namespace {
// A type 1 session in FTM mode, with helpers for commands and reads.
struct Session {
  DevClient& c;
  uint32_t id = 1;
  explicit Session(DevClient& client) : c(client) {
    EXPECT_EQ(c.call(id++, IOCTL_BTFTM_ENABLE_FTM, 0).kind, kMsgPending);
  }
  void command(const Bytes& command) { EXPECT_EQ(c.callPending(id++, IOCTL_BTFTM_SEND_HCI_CMD, 0, command).status, 0u); }
  Bytes event() { return c.callPending(id++, IOCTL_BTFTM_READ_EVENT, 262).out; }
  Bytes acl() { return c.callPending(id++, IOCTL_BTFTM_READ_ACL, 1028).out; }
  uint16_t open(uint16_t op, Bytes params) {
    command(hciCommand(op, params));
    EXPECT_EQ(event(), (Bytes{0x0F, 4, 0, 1, uint8_t(op), uint8_t(op >> 8)}));
    Bytes done = event();
    EXPECT_EQ(done[2], 0);
    return Le16(done.data() + 3);
  }
};

// A client of ftmd's H4 port on loopback, or -1.
int connectH4(int port) { return tarnexio_test::ConnectLoopback(port); }

}  // namespace

TEST(FtmdTraffic, SimulatedControllerAnswers) {
  TempDir dir;
  FtmdProcess p(dir.path, {"--bdaddr", "00:11:22:33:44:55"});
  ASSERT_TRUE(p.ready());
  DevClient c(deviceSocket(dir.path, 1));
  Session s(c);
  s.command(hciCommand(kOpReadBdAddr));
  EXPECT_EQ(s.event(), (Bytes{0x0E, 10, 1, 0x09, 0x10, 0, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00}));
  s.command(hciCommand(0x0C7F, {0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(s.event(), (Bytes{0x0E, 4, 1, 0x7F, 0x0C, 0x01}));
  s.command(hciCommand(0xFC33, {1, 2}));
  EXPECT_EQ(s.event(), (Bytes{0x0E, 4, 1, 0x33, 0xFC, 0}));

  // The test's own interval encloses the controller's: it starts before the receiver test
  // is sent and ends after the end event has arrived.
  const auto start = std::chrono::steady_clock::now();
  s.command(hciCommand(kOpLeReceiverTest, {0x13}));
  EXPECT_EQ(s.event()[5], 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  s.command(hciCommand(kOpLeTestEnd));
  Bytes end = s.event();
  const auto elapsedUs =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(end.size(), 8u);
  const unsigned packets = Le16(end.data() + 6);
  EXPECT_GE(packets, 30000u / kSimLeRxPacketUs);
  EXPECT_LE(packets, unsigned(elapsedUs / kSimLeRxPacketUs));

  // An ACL link: loopback with its completed-packets event, then remote traffic.
  const uint16_t h = s.open(kOpCreateConnection, {6, 5, 4, 3, 2, 1, 0x18, 0xCC, 1, 0, 0, 0, 1});
  Bytes data{uint8_t(h), uint8_t(h >> 8), 3, 0, 0x7E, 0x7D, 0x7E};
  EXPECT_EQ(c.callPending(s.id++, IOCTL_BTFTM_SEND_ACL, 0, data).status, 0u);
  EXPECT_EQ(s.acl(), data);
  EXPECT_EQ(s.event(), (Bytes{0x13, 5, 1, uint8_t(h), uint8_t(h >> 8), 1, 0}));
  s.command(hciCommand(kOpVendorGenerateAcl, {uint8_t(h), uint8_t(h >> 8), 2, 0, 0x10, 0x02, 0x7D}));
  EXPECT_EQ(s.event(), (Bytes{0x0E, 4, 1, 0x01, 0xFC, 0}));
  for (int i = 0; i < 2; ++i) {
    Bytes got = s.acl();
    ASSERT_EQ(got.size(), 4u + 0x210);
    EXPECT_EQ(Le16(got.data() + 2), 0x210);
    EXPECT_EQ(got[4], 0x7D);
    EXPECT_EQ(got.back(), 0x7D);
  }
  s.command(hciCommand(kOpDisconnect, {uint8_t(h), uint8_t(h >> 8), 0x13}));
  EXPECT_EQ(s.event(), (Bytes{0x0F, 4, 0, 1, 0x06, 0x04}));
  EXPECT_EQ(s.event(), (Bytes{0x05, 4, 0, uint8_t(h), uint8_t(h >> 8), 0x16}));
  s.command(hciCommand(kOpDisconnect, {uint8_t(h), uint8_t(h >> 8), 0x13}));
  EXPECT_EQ(s.event(), (Bytes{0x0F, 4, 0x02, 1, 0x06, 0x04}));
}

TEST(FtmdTraffic, ScoSlotsOfTheSelectedInterface) {
  TempDir dir;
  FtmdProcess p(dir.path, {});
  ASSERT_TRUE(p.ready());
  DevClient c(deviceSocket(dir.path, 1));
  Session s(c);
  const uint16_t acl = s.open(kOpCreateConnection, {6, 5, 4, 3, 2, 1});
  const uint16_t sco = s.open(kOpAddScoConnection, {uint8_t(acl), 0, 0xE0, 0});
  EXPECT_NE(sco, acl);
  // Interface 0: an SCO read waits even with data there.
  Bytes pkt{uint8_t(sco), uint8_t(sco >> 8), 24};
  for (int i = 0; i < 24; ++i) pkt.push_back(uint8_t(0x40 + i));
  EXPECT_EQ(c.callPending(s.id++, IOCTL_BTFTM_SEND_SCO, 0, pkt).status, 0u);
  ASSERT_EQ(c.call(50, IOCTL_BTFTM_READ_SCO, 0).kind, kMsgPending);
  EXPECT_FALSE(c.recv(200).got);
  c.cancel(50);
  EXPECT_EQ(c.recv().status, 995u);
  // Interface 1: 81 bytes, three 27-byte slots.
  EXPECT_EQ(c.call(s.id++, IOCTL_BTFTM_SELECT_SCO_INF, 0, {1}).status, 0u);
  EXPECT_EQ(c.callPending(s.id++, IOCTL_BTFTM_SEND_SCO, 0, pkt).status, 0u);
  Bytes reply = c.callPending(s.id++, IOCTL_BTFTM_READ_SCO, 81).out;
  ASSERT_EQ(reply.size(), 81u);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 27), pkt);
  EXPECT_EQ(Bytes(reply.begin() + 27, reply.begin() + 54), pkt);
  EXPECT_EQ(Bytes(reply.begin() + 54, reply.end()), Bytes(27, 0));  // empty third slot
  // Interface 6: unit 63, slots of 189; two generated 60-byte packets (counting bytes).
  EXPECT_EQ(c.call(s.id++, IOCTL_BTFTM_SELECT_SCO_INF, 0, {6}).status, 0u);
  s.command(hciCommand(kOpVendorGenerateSco, {uint8_t(sco), uint8_t(sco >> 8), 2, 0, 60, 0}));
  EXPECT_EQ(s.event(), (Bytes{0x0E, 4, 1, 0x02, 0xFC, 0}));
  reply = c.callPending(s.id++, IOCTL_BTFTM_READ_SCO, 567).out;
  ASSERT_EQ(reply.size(), 567u);
  for (size_t slot : {0u, 189u}) {
    EXPECT_EQ(reply[slot + 2], 60);
    EXPECT_EQ(reply[slot + 3], 0);
    EXPECT_EQ(reply[slot + 62], 59);
    EXPECT_EQ(reply[slot + 63], 0);  // the rest of the slot is clear
  }
  EXPECT_EQ(Bytes(reply.begin() + 378, reply.end()), Bytes(189, 0));
}

TEST(FtmdTraffic, TcpFormAndHeavyAcl) {
  TempDir dir;
  FtmdProcess p(dir.path, {"--tcp", "0"});
  ASSERT_TRUE(p.ready());
  const int port = readyPort(p.readyLine(), "TCP form");
  ASSERT_GT(port, 0) << p.readyLine();
  DevClient c(port);
  ASSERT_TRUE(c.connected());
  Session s(c);
  const uint16_t h = s.open(kOpCreateConnection, {6, 5, 4, 3, 2, 1});
  // 2000 packets of 1021 bytes, eight writes in flight, reads kept pending.
  const int total = 2000;
  int written = 0, echoed = 0, events = 0;
  uint32_t next = 1000;
  std::map<uint32_t, char> kind;
  auto issue = [&](char k) {
    kind[next] = k;
    if (k == 'w') {
      Bytes d{uint8_t(h), uint8_t(h >> 8), 0xFD, 0x03};
      d.resize(4 + 1021, uint8_t(written));
      c.ioctl(next++, IOCTL_BTFTM_SEND_ACL, 0, d);
      ++written;
    } else {
      c.ioctl(next++, k == 'a' ? IOCTL_BTFTM_READ_ACL : IOCTL_BTFTM_READ_EVENT, k == 'a' ? 1028 : 262);
    }
  };
  issue('a');
  issue('e');
  // Eight packets in flight: a new one goes out when an echo has come back.
  while (echoed < total || events < total) {
    while (written - echoed < 8 && written < total) issue('w');
    Reply r = c.recv(5000);
    ASSERT_TRUE(r.got) << "echoed " << echoed << " events " << events;
    if (r.kind != kMsgComplete) continue;
    ASSERT_EQ(r.status, 0u);
    const char k = kind[r.id];
    kind.erase(r.id);
    if (k == 'w') {
      continue;
    } else if (k == 'a') {
      ASSERT_EQ(r.out.size(), 1025u);
      EXPECT_EQ(r.out[4], uint8_t(echoed)) << echoed;  // in order, intact
      if (++echoed < total) issue('a');
    } else {
      EXPECT_EQ(r.out[0], 0x13);
      if (++events < total) issue('e');
    }
  }
  EXPECT_EQ(p.output().find("dropped"), std::string::npos);
}

// ftmd serving an H4 port, and that port (0 when ftmd did not start).
struct H4Ftmd {
  TempDir dir;
  FtmdProcess process{dir.path, {"--h4", "0"}};
  int port = process.ready() ? readyPort(process.readyLine(), "H4") : 0;
};

TEST(FtmdTraffic, H4Port) {
  H4Ftmd ftmd;
  ASSERT_GT(ftmd.port, 0);
  const int fd = connectH4(ftmd.port);
  ASSERT_GE(fd, 0);
  auto readExactly = [&](size_t n) {
    Bytes got;
    pollfd pf{fd, POLLIN, 0};
    while (got.size() < n && poll(&pf, 1, tarnexio_test::ScaledMs(3000)) > 0) {
      uint8_t buf[4096];
      const ssize_t k = recv(fd, buf, std::min(sizeof buf, n - got.size()), 0);
      if (k <= 0) break;
      got.insert(got.end(), buf, buf + k);
    }
    return got;
  };
  // A command split over two writes, then Create_Connection.
  const uint8_t reset[] = {0x01, 0x03, 0x0C, 0x00, 0x01, 0x05, 0x04, 0x06, 1, 2, 3, 4, 5, 6};
  send(fd, reset, 2, 0);
  send(fd, reset + 2, sizeof reset - 2, 0);
  EXPECT_EQ(readExactly(7), (Bytes{0x04, 0x0E, 4, 1, 0x03, 0x0C, 0}));
  EXPECT_EQ(readExactly(7), (Bytes{0x04, 0x0F, 4, 0, 1, 0x05, 0x04}));
  Bytes cc = readExactly(14);
  ASSERT_EQ(cc.size(), 14u);
  EXPECT_EQ(cc[1], 0x03);
  const uint8_t acl[] = {0x02, cc[4], cc[5], 2, 0, 0xAA, 0xBB};
  send(fd, acl, sizeof acl, 0);
  EXPECT_EQ(readExactly(7), Bytes(acl, acl + 7));
  EXPECT_EQ(readExactly(8), (Bytes{0x04, 0x13, 5, 1, cc[4], cc[5], 1, 0}));
  close(fd);
}

TEST(FtmdTraffic, H4ClientOutOfStepIsClosedAtOnce) {
  H4Ftmd ftmd;
  ASSERT_GT(ftmd.port, 0);
  const struct {
    const char* what;
    Bytes sent;
  } cases[] = {
      {"an event type byte, alone", {0x04}},
      {"an ISO type byte, alone", {0x05}},
      {"an ACL header announcing 1025 bytes", {0x02, 0x01, 0x00, 0x01, 0x04}},
      {"an unknown byte behind a whole command", {0x01, 0x03, 0x0C, 0x00, 0xFF}},
  };
  for (const auto& c : cases) {
    const int fd = connectH4(ftmd.port);
    ASSERT_GE(fd, 0) << c.what;
    ASSERT_EQ(send(fd, c.sent.data(), c.sent.size(), 0), ssize_t(c.sent.size())) << c.what;
    // Whatever the controller answered before the bad byte, then the end of the stream.
    bool closed = false;
    pollfd pf{fd, POLLIN, 0};
    while (!closed && poll(&pf, 1, tarnexio_test::ScaledMs(5000)) > 0) {
      uint8_t buf[256];
      closed = recv(fd, buf, sizeof buf, 0) <= 0;
    }
    EXPECT_TRUE(closed) << c.what;
    close(fd);
  }
}

// Lanes on both forms: a lane of the device connection carries a read, and the read's
// replies come back on the lane, not on the device connection.
TEST(FtmdTraffic, LanesOnTheUnixSocketAndTheTcpForm) {
  TempDir dir;
  FtmdProcess p(dir.path, {"--tcp", "0", "-v"});
  ASSERT_TRUE(p.ready());
  const int port = readyPort(p.readyLine(), "TCP form");
  for (bool tcp : {false, true}) {
    SCOPED_TRACE(tcp ? "TCP form" : "Unix socket");
    auto connect = [&] {
      return tcp ? std::make_unique<DevClient>(port) : std::make_unique<DevClient>(deviceSocket(dir.path, 1));
    };
    auto device = connect();
    Session s(*device);
    ASSERT_TRUE(device->offer().Valid());
    auto lane = connect();
    lane->sendRaw(BuildDevchanAttach(device->offer()));
    const Reply attached = lane->recv();
    ASSERT_TRUE(attached.got && attached.kind == kMsgAttached);
    EXPECT_EQ(lane->call(50, IOCTL_BTFTM_READ_EVENT, 262).kind, kMsgPending);
    s.command(hciCommand(kOpReset));
    const Reply read = lane->recv();
    EXPECT_EQ(read.kind, kMsgComplete);
    EXPECT_EQ(read.id, 50u);
    EXPECT_EQ(read.out, (Bytes{0x0E, 4, 1, 0x03, 0x0C, 0}));
    EXPECT_FALSE(device->recv(100).got) << "the read's replies went to the lane";
  }
  // Each lane's line is printed as it attaches, the second long after the first.
  ASSERT_TRUE(p.waitForOutput(": lane of conn 3\n"));
  const std::string out = p.output(0);
  const size_t first = out.find(": lane of conn 1\n");
  EXPECT_NE(first, std::string::npos) << out;
  EXPECT_NE(out.find(": lane of conn 3\n", first), std::string::npos) << out;
}
