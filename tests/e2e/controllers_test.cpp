// ftmd with a real controller behind it: BlueZ's emulated controllers (btvirt), reached
// over a Unix socket, a serial line (a pseudo-terminal relayed to btvirt) and TCP (a relay
// the test can cut), end to end through the bridge in raw and diag mode. Each test has a
// /tmp of its own, so that btvirt's fixed socket paths never meet another test's.
#include "harness.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "listen_sockets.h"
#include "transport.h"

using namespace e2e;

namespace {

const std::string kUnixController = std::string("unix:") + kBtvirtSocket;

struct BtvirtTest : ::testing::Test {
  std::unique_ptr<Btvirt> btvirt;
  void SetUp() override {
    if (FindProgram("btvirt").empty()) GTEST_SKIP() << "btvirt is not installed (Debian package bluez-test-tools)";
    const std::string why = PrivateTmp();
    if (!why.empty()) GTEST_SKIP() << "btvirt's sockets need a private /tmp: " << why;
    btvirt = std::make_unique<Btvirt>();
    ASSERT_TRUE(btvirt->ready) << btvirt->child->Output();
  }
};

// The bridge saw its driver go (1167, 0x48F, on whichever request ended first: the
// enable-FTM request or a read) and ran its stop sequence to the end.
void ExpectStoppedByDriverGone(Child& bridge) {
  EXPECT_EQ(bridge.WaitExit(), 0) << bridge.Output();
  EXPECT_GE(bridge.Count("0x48F"), 1) << bridge.Output();
  EXPECT_TRUE(bridge.HasInOrder(kCleanUpLines)) << bridge.Output();
}

// One bench: a test host on a bridge in raw or diag mode, ftmd and a controller. Speaks
// HCI in either mode and sorts what comes back into events and ACL packets (no type byte).
struct Bench {
  Bench(const std::string& mode, const std::vector<std::string>& ftmdOptions)
      : diag(mode == "diag"), run(mode, ftmdOptions) {}
  bool diag;
  LiveRun run;
  std::vector<Bytes> events, acl;

  void Send(uint16_t op, const Bytes& params) {
    Bytes cmd = Command(op, params);
    run.host->Send(diag ? DiagHciRequest(cmd) : cmd);
  }
  // Takes one packet from the host's connection into events or acl; false on timeout.
  bool Pump(Millis timeout = Millis(5000)) {
    if (diag) {
      LogPacket log = ReceiveLog(*run.host, 0, timeout);
      if (log.payload.empty()) return false;
      (log.code == 0x1368 ? acl : events).push_back(log.payload);
      return true;
    }
    Bytes p = run.host->ReceiveH4(timeout);
    if (p.empty()) return false;
    (p[0] == 0x02 ? acl : events).emplace_back(p.begin() + 1, p.end());
    return true;
  }
  // The first event that pred accepts, taken out of those received; empty on timeout.
  Bytes Event(const std::function<bool(const Bytes&)>& pred) {
    for (int i = 0; i < 2000; ++i) {
      for (auto it = events.begin(); it != events.end(); ++it) {
        if (pred(*it)) {
          Bytes e = *it;
          events.erase(it);
          return e;
        }
      }
      if (!Pump()) break;
    }
    return {};
  }
  Bytes EventCode(uint8_t code) {
    return Event([code](const Bytes& e) { return e[0] == code; });
  }
  // Sends a command and returns its Command Complete (code, length, credits, opcode, return).
  Bytes Call(uint16_t op, const Bytes& params = {}) {
    Send(op, params);
    return Event([op](const Bytes& e) { return e.size() >= 6 && e[0] == 0x0E && (e[3] | e[4] << 8) == op; });
  }
  Bytes Acl() {
    for (int i = 0; i < 200 && acl.empty(); ++i)
      if (!Pump()) break;
    if (acl.empty()) return {};
    Bytes a = acl.front();
    acl.erase(acl.begin());
    return a;
  }
};

TEST_F(BtvirtTest, RawAndDiagModeCommandsAreAnsweredByTheController) {
  struct Case {
    uint16_t op;
    size_t returned;  // bytes behind the status
  } cases[] = {{0x0C03, 0}, {0x1009, 6}, {0x1001, 8}, {0x1005, 7}, {0x1003, 8}, {0x0C14, 248}};
  for (const char* mode : {"raw", "diag"}) {
    Bench b(mode, {"--controller", kUnixController});
    ASSERT_TRUE(b.run.ready) << mode;
    for (const Case& c : cases) {
      Bytes cc = b.Call(c.op);
      ASSERT_EQ(cc.size(), 6 + c.returned) << mode << " opcode " << std::hex << c.op;
      EXPECT_EQ(cc[5], 0x00) << mode << " status of " << std::hex << c.op;
      if (c.op == 0x1009) {
        EXPECT_NE(Bytes(cc.begin() + 6, cc.end()), Hex("bc 9a 78 56 34 12"));
      }
      if (c.op == 0x1001) {
        EXPECT_NE(cc[10] | cc[11] << 8, 0xFFFF) << "the simulated controller's maker";
      }
    }
    b.run.ftmd.child->Signal(SIGTERM);
    ASSERT_EQ(b.run.ftmd.child->WaitExit(), 0);
    EXPECT_TRUE(b.run.ftmd.child->WaitForOutput("ftmd: stopped on SIGTERM; controller " + kUnixController +
                                                ": sent 6 commands, 0 ACL, 0 SCO; received 6 events"))
        << b.run.ftmd.child->Output();
  }
}

TEST_F(BtvirtTest, ASecondBridgeOfATypeTwoDriverIsToldTheControllerIsInUse) {
  Bench first("raw", {"--type", "2", "--controller", kUnixController, "-v"});
  Child& ftmd = *first.run.ftmd.child;
  ASSERT_TRUE(first.run.ready) << ftmd.Output() << first.run.bridge.child->Output();
  // A type 2 device claims the controller with its first request, which the first bridge's
  // event reader sends on its own thread: the test host's connection does not wait for it.
  ASSERT_TRUE(ftmd.WaitForOutput("ftmd: controller " + kUnixController + ": traffic starts for conn 1\n"))
      << ftmd.Output();
  Bridge second(first.run.ftmd.dir.path, "raw");
  // Stopped by its reader before any test host came, whether or not it listened by then.
  EXPECT_EQ(second.child->WaitExit(), 1) << second.child->Output();
  EXPECT_EQ(second.child->Count("BTFTM : Ethernet Connected!"), 0) << second.child->Output();
  EXPECT_TRUE(second.child->WaitForOutput("Tarnexio: the controller is in use (error 32)")) << second.child->Output();
  EXPECT_EQ(second.child->Count("Tarnexio: the controller is in use (error 32)"), 1) << second.child->Output();
  first.Send(0x1009, {});
  EXPECT_EQ(first.EventCode(0x0E).size(), 12u) << first.run.ftmd.child->Output() << first.run.bridge.child->Output();
}

// The first bridge's lanes are its own and carry its traffic; only a second bridge is
// refused, by the connection that opened its device.
TEST_F(BtvirtTest, ASecondBridgeIsRefusedAndTheFirstGoesOn) {
  Bench first("raw", {"--controller", kUnixController, "--reset", "-v"});
  Child& ftmd = *first.run.ftmd.child;
  ASSERT_TRUE(first.run.ready) << ftmd.Output() << first.run.bridge.child->Output();
  // The main thread and the event reader each have a lane by now, attached in either order.
  EXPECT_TRUE(ftmd.WaitForOutput("ftmd: conn 3: lane of conn 1\n")) << ftmd.Output();
  EXPECT_TRUE(ftmd.WaitForOutput("ftmd: conn 2: lane of conn 1\n")) << ftmd.Output();
  EXPECT_EQ(ftmd.Count("ftmd: conn 2: lane of conn 1\n"), 1) << ftmd.Output();
  EXPECT_EQ(ftmd.Count(" refused"), 0) << ftmd.Output();

  Bridge second(first.run.ftmd.dir.path, "raw");
  EXPECT_EQ(second.child->WaitExit(), 1);  // FTM mode refused: no test host served
  // It is told why: the controller is in use (32), held by another bridge.
  EXPECT_TRUE(second.child->WaitForOutput("BTFTM : EnableDrvFtm Error: Default. Error -0x20\n"));
  EXPECT_EQ(second.child->Count("Tarnexio: the controller is in use (error 32): another bridge, or another client of the driver, holds it"), 1)
      << second.child->Output();
  const std::string refusal = " refused: the controller " + kUnixController + " is in use by conn 1\n";
  ASSERT_TRUE(ftmd.WaitForOutput(refusal)) << ftmd.Output();
  EXPECT_EQ(ftmd.Count(" refused"), 1) << ftmd.Output();
  // The refused one is the second bridge's device connection, not a lane of either.
  const std::string out = ftmd.Output();
  const size_t end = out.find(refusal), start = out.rfind("ftmd: conn ", end);
  const std::string refused = out.substr(start + 6, end - start - 6);
  EXPECT_EQ(ftmd.Count(refused + ": lane of"), 0) << refused;
  EXPECT_EQ(ftmd.Count(refused + ": opened\n"), 1) << refused;
  // ftmd's own reset was taken before the host's first command: the first Command
  // Complete the host sees is its own.
  first.Send(0x1009, {});
  Bytes e = first.EventCode(0x0E);
  ASSERT_GE(e.size(), 6u);
  EXPECT_EQ(e[3] | e[4] << 8, 0x1009);
  EXPECT_TRUE(first.events.empty());
}

// ftmd's simulated controller is one controller as a real one is: a second bridge against
// the same ftmd, on another port, is told it is in use and ends as a start that failed;
// the first goes on, and once it has ended the controller is free for the next run.
TEST(SimulatedController, ASecondBridgeIsToldItIsInUseAndTheFirstGoesOn) {
  for (const char* type : {"1", "2"}) {
    SCOPED_TRACE(std::string("type ") + type);
    LiveRun first("raw", {"--type", type, "-v"});
    ASSERT_TRUE(first.ready) << first.why;
    Child& ftmd = *first.ftmd.child;
    // The device connection claims the controller with its first request (a type 2
    // device's is the event reader's, which the test host's connection does not wait for).
    ASSERT_TRUE(ftmd.WaitForOutput("ftmd: conn 1: IOCTL id ")) << ftmd.Output();
    Bridge second(first.ftmd.dir.path, "raw");
    EXPECT_EQ(second.child->WaitExit(), 1) << second.child->Output();
    EXPECT_EQ(second.child->Count("BTFTM : Ethernet Connected!"), 0) << second.child->Output();
    EXPECT_EQ(second.child->Count("Tarnexio: the controller is in use (error 32)"), 1) << second.child->Output();
    EXPECT_TRUE(ftmd.WaitForOutput(" refused: the simulated controller is in use by conn 1\n")) << ftmd.Output();

    first.host->Send(Command(0x1009, {}));
    EXPECT_TRUE(IsCommandComplete(ReceiveUntil(*first.host, [](const Bytes& p) { return IsCommandComplete(p, 0x1009); }),
                                  0x1009))
        << first.bridge.child->Output();
    first.host->Close();
    EXPECT_EQ(first.bridge.child->WaitExit(), 0) << first.bridge.child->Output();

    Bridge next(first.ftmd.dir.path, "raw");
    EXPECT_TRUE(next.WaitListening()) << ftmd.Output();
    TestHost host(next.port);
    host.Send(Command(0x0C03, {}));
    EXPECT_TRUE(IsCommandComplete(ReceiveUntil(host, [](const Bytes& p) { return IsCommandComplete(p, 0x0C03); }),
                                  0x0C03))
        << next.child->Output() << ftmd.Output();
    host.Close();
    EXPECT_EQ(next.child->WaitExit(), 0) << next.child->Output();
    EXPECT_EQ(ftmd.Count(" refused"), 1) << ftmd.Output();
  }
}

// Two benches on one btvirt: A is found and connected by B, then ACL data of every size up
// to the controllers' buffer crosses the link both ways (diag mode only receives it).
void RunTwoBenches(const std::string& modeB) {
  Bench a("raw", {"--controller", kUnixController});
  Bench b(modeB, {"--controller", kUnixController});
  ASSERT_TRUE(a.run.ready && b.run.ready);
  ASSERT_FALSE(a.Call(0x0C03).empty());
  ASSERT_FALSE(b.Call(0x0C03).empty());
  Bytes addr = a.Call(0x1009);
  ASSERT_EQ(addr.size(), 12u);
  const Bytes bdaddrA(addr.begin() + 6, addr.end());
  ASSERT_EQ(a.Call(0x0C1A, {0x03}).at(5), 0x00);  // inquiry and page scan

  b.Send(0x0401, {0x33, 0x8B, 0x9E, 0x04, 0x00});  // GIAC, about 5 s, any number
  Bytes found = b.Event([&](const Bytes& e) {
    return (e[0] == 0x02 || e[0] == 0x22 || e[0] == 0x2F) && e.size() >= 9 && Bytes(e.begin() + 3, e.begin() + 9) == bdaddrA;
  });
  ASSERT_FALSE(found.empty()) << "A was not found by inquiry";
  // Each command waits for its answer: a diag bridge takes one request per receive.
  b.Call(0x0402);  // Inquiry_Cancel: no need to wait out the inquiry
  Bytes create = bdaddrA;
  for (uint8_t x : {0x18, 0xCC, 0x01, 0x00, 0x00, 0x00, 0x01}) create.push_back(x);
  b.Send(0x0405, create);
  ASSERT_FALSE(b.Event([](const Bytes& e) { return e[0] == 0x0F && e.size() >= 6 && (e[4] | e[5] << 8) == 0x0405; })
                   .empty());
  Bytes request = a.EventCode(0x04);  // Connection Request
  ASSERT_GE(request.size(), 8u);
  Bytes accept(request.begin() + 2, request.begin() + 8);
  accept.push_back(0x01);  // stay peripheral
  a.Send(0x0409, accept);
  Bytes doneA = a.EventCode(0x03), doneB = b.EventCode(0x03);
  ASSERT_GE(doneA.size(), 5u);
  ASSERT_GE(doneB.size(), 5u);
  ASSERT_EQ(doneA[2], 0x00);
  ASSERT_EQ(doneB[2], 0x00);
  const uint16_t handleA = doneA[3] | doneA[4] << 8, handleB = doneB[3] | doneB[4] << 8;

  // Sends one packet of every size from 1 to the buffer, each after the controller gave
  // back the credit of the one before, and checks what arrives on the other side.
  auto cross = [](Bench& from, uint16_t handle, Bench& to, uint16_t toHandle) {
    Bytes size = from.Call(0x1005);
    ASSERT_EQ(size.size(), 13u);
    const int mtu = size[6] | size[7] << 8, credits = size[9] | size[10] << 8;
    ASSERT_GT(mtu, 0);
    ASSERT_GT(credits, 0);
    int sent = 0, received = 0, free = credits;
    while (received < mtu) {
      while (free > 0 && sent < mtu) {
        ++sent;
        Bytes data(size_t(sent), 0);
        for (int i = 0; i < sent; ++i) data[size_t(i)] = uint8_t(sent * 7 + i);
        from.run.host->Send(AclPacket(uint16_t(handle | 0x2000), data));
        --free;
      }
      Bytes got = to.Acl();
      ASSERT_FALSE(got.empty()) << "packet " << received + 1 << " of " << mtu;
      ++received;
      ASSERT_EQ(got.size(), size_t(received) + 4);
      EXPECT_EQ(got[0] | (got[1] & 0x0F) << 8, toHandle);
      for (int i = 0; i < received; ++i) ASSERT_EQ(got[size_t(4 + i)], uint8_t(received * 7 + i)) << received;
      Bytes nocp = from.EventCode(0x13);
      ASSERT_GE(nocp.size(), 7u);
      EXPECT_EQ(nocp[3] | nocp[4] << 8, handle);
      free += nocp[5] | nocp[6] << 8;
    }
    EXPECT_EQ(free, credits);
  };
  cross(a, handleA, b, handleB);
  if (!b.diag) cross(b, handleB, a, handleA);
}

TEST_F(BtvirtTest, TwoRawBenchesConnectAndAclDataCrossesBothWays) { RunTwoBenches("raw"); }

TEST_F(BtvirtTest, ARawBenchSendsAclDataToADiagBench) { RunTwoBenches("diag"); }

TEST_F(BtvirtTest, SerialLineThroughAPseudoTerminal) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string slave = ptsname(master);
  // Held open so that the master never sees a hang-up between ftmd's opens.
  int slaveHold = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(slaveHold, 0);
  int controller = ConnectUnix(kBtvirtSocket);
  ASSERT_GE(controller, 0);
  Relay relay(master, controller);

  Bench b("raw", {"--controller", "serial:" + slave + ",3000000,rtscts"});
  ASSERT_TRUE(b.run.ready) << b.run.ftmd.child->Output();
  ftmd::SerialSettings line;
  ASSERT_TRUE(ftmd::readSerialSettings(slaveHold, line));
  EXPECT_TRUE(line.raw);
  EXPECT_TRUE(line.rtscts);
  EXPECT_EQ(line.outSpeed, 3000000u);
  EXPECT_EQ(line.inSpeed, 3000000u);
  ASSERT_EQ(b.Call(0x0C03).size(), 6u);
  ASSERT_EQ(b.Call(0x1009).size(), 12u);

  Ftmd other({"--controller", "serial:" + slave});
  EXPECT_EQ(other.child->WaitExit(), 1);
  EXPECT_TRUE(other.child->WaitForOutput("ftmd: serial:" + slave + ": device busy: another program holds it\n"));

  // Unplugged: the line hangs up and its device goes away.
  relay.Stop();
  close(slaveHold);
  EXPECT_TRUE(b.run.ftmd.child->WaitForOutput("ftmd: controller serial:" + slave + ",3000000,rtscts lost (")) << b.run.ftmd.child->Output();
  ExpectStoppedByDriverGone(*b.run.bridge.child);
  EXPECT_TRUE(b.run.ftmd.child->WaitForOutput(": no such device; retrying\n")) << b.run.ftmd.child->Output();
}

TEST_F(BtvirtTest, TheH4PortServesTheControllerWhileNoBridgeHoldsIt) {
  Ftmd ftmd({"--controller", kUnixController, "--h4", "0"});
  const std::string out = ftmd.child->Output();
  const size_t at = out.find("H4 on 127.0.0.1:");
  ASSERT_NE(at, std::string::npos) << out;
  auto h4 = std::make_unique<TestHost>(std::stoi(out.substr(at + 16)));
  h4->Send(Command(0x0C03, {}));
  ASSERT_FALSE(ReceiveUntil(*h4, [](const Bytes& p) { return IsCommandComplete(p, 0x0C03); }).empty());

  Bridge refused(ftmd.dir.path, "raw");
  EXPECT_EQ(refused.child->WaitExit(), 1);  // FTM mode refused: no test host served
  EXPECT_TRUE(ftmd.child->WaitForOutput("ftmd: conn 1 refused: the controller " + kUnixController +
                                        " is in use by the H4 client\n"));
  h4.reset();
  // The controller is free once ftmd has seen the H4 client go (its counts line).
  ASSERT_TRUE(ftmd.child->WaitForOutput("ftmd: H4 client: ")) << ftmd.child->Output();
  Bridge bridge(ftmd.dir.path, "raw");
  ASSERT_TRUE(bridge.WaitListening());
  TestHost host(bridge.port);
  host.Send(Command(0x1009, {}));
  EXPECT_FALSE(ReceiveUntil(host, [](const Bytes& p) { return IsCommandComplete(p, 0x1009); }).empty());
}

// ftmd's own listening helper: 127.0.0.1, address reuse, so the port can be taken again.
int ListenLoopback(int port) {
  int bound = 0;
  std::string error;
  return ftmd::listenLoopback(port, bound, error).release();
}

// Accepts ftmd's connection and relays it to a fresh btvirt controller.
std::unique_ptr<Relay> AcceptAndRelay(int listenFd) {
  pollfd p{listenFd, POLLIN, 0};
  if (poll(&p, 1, 10000) <= 0) return nullptr;
  int conn = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);  // blocking, unlike the listener
  int controller = ConnectUnix(kBtvirtSocket);
  if (conn < 0 || controller < 0) return nullptr;
  return std::make_unique<Relay>(conn, controller);
}

TEST_F(BtvirtTest, TcpControllerLostMidRunStopsTheBridgeAndComesBack) {
  int port = 0;
  std::string error;
  int listenFd = ftmd::listenLoopback(0, port, error).release();
  ASSERT_GE(listenFd, 0) << error;
  const std::string transport = "tcp-client:127.0.0.1:" + std::to_string(port);
  Ftmd ftmd({"--controller", transport});
  std::unique_ptr<Relay> relay = AcceptAndRelay(listenFd);
  ASSERT_TRUE(relay);
  {
    Bridge bridge(ftmd.dir.path, "raw");
    ASSERT_TRUE(bridge.WaitListening());
    TestHost host(bridge.port);
    ASSERT_TRUE(host.connected());
    host.Send(Command(0x0C03, {}));
    ASSERT_FALSE(ReceiveUntil(host, [](const Bytes& p) { return IsCommandComplete(p, 0x0C03); }).empty());

    // The controller goes away, and nobody answers where it was.
    close(listenFd);
    relay.reset();
    EXPECT_TRUE(ftmd.child->WaitForOutput("ftmd: controller " + transport + " lost (end of stream); reopening\n"));
    ExpectStoppedByDriverGone(*bridge.child);
  }
  EXPECT_TRUE(ftmd.child->WaitForOutput("ftmd: controller " + transport + " not back: " + transport +
                                        ": cannot connect: Connection refused; retrying\n"));
  // Refused while the transport is down: the bridge fails at once.
  Bridge early(ftmd.dir.path, "raw");
  EXPECT_EQ(early.child->WaitExit(), 1);  // FTM mode refused: no test host served
  EXPECT_TRUE(early.child->WaitForOutput("BTFTM : EnableDrvFtm Error: Default. Error -0x48F\n"));
  // Each connection refused so gives its place back: more of them than ftmd admits at once
  // for one user still leave the next bridge served.
  for (int i = 0; i < 70; ++i) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/ZELDROVE", ftmd.dir.path.c_str());
    ASSERT_EQ(connect(fd, (sockaddr*)&addr, sizeof addr), 0) << i;
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, 0), 0) << "closed by ftmd, connection " << i;
    close(fd);
  }

  listenFd = ListenLoopback(port);
  ASSERT_GE(listenFd, 0);
  relay = AcceptAndRelay(listenFd);
  ASSERT_TRUE(relay);
  EXPECT_TRUE(ftmd.child->WaitForOutput("ftmd: controller " + transport + " is back\n"));
  EXPECT_EQ(ftmd.child->Count("not back"), 1) << "one line per change of state";
  Bridge bridge(ftmd.dir.path, "raw");
  ASSERT_TRUE(bridge.WaitListening());
  TestHost host(bridge.port);
  host.Send(Command(0x1009, {}));
  EXPECT_FALSE(ReceiveUntil(host, [](const Bytes& p) { return IsCommandComplete(p, 0x1009); }).empty());
  close(listenFd);
}

}  // namespace
