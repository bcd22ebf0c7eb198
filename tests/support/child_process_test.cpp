// The child-process runner and the ports it hands out: a wait that gives up must say what
// it waited for, and a port must be one the bridge can bind.
#include "child_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <set>

namespace {

using namespace tarnexio_test;

std::pair<int, int> EphemeralRange() {
  int low = 0, high = 0;
  FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r");
  if (f != nullptr && std::fscanf(f, "%d %d", &low, &high) != 2) low = high = 0;
  if (f != nullptr) std::fclose(f);
  return {low, high};
}

// A socket bound to port on address (listening when listens), or -1.
// reuse: bind as the bridge does, with SO_REUSEADDR, so that a port whose earlier
// connections are still closing (TIME_WAIT) counts as bindable, as it is for the bridge.
int Hold(uint32_t address, int port, bool listens, bool reuse = false) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  if (reuse) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(address);
  a.sin_port = htons((uint16_t)port);
  if (bind(fd, (sockaddr*)&a, sizeof a) != 0 || (listens && listen(fd, 1) != 0)) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST(FreePort, HandsOutDistinctPortsOutsideTheEphemeralRangeThatTheBridgeCanBind) {
  const std::pair<int, int> ephemeral = EphemeralRange();
  std::set<int> seen;
  for (int i = 0; i < 50; ++i) {
    const int port = FreePort();
    ASSERT_GT(port, 0);
    EXPECT_TRUE(seen.insert(port).second) << port << " handed out twice";
    EXPECT_TRUE(port < ephemeral.first || port > ephemeral.second) << port;
    const int fd = Hold(INADDR_ANY, port, true, true);
    EXPECT_GE(fd, 0) << port;
    if (fd >= 0) close(fd);
  }
}

TEST(FreePort, APortHeldOnAnyAddressIsNotFree) {
  struct Case {
    const char* what;
    uint32_t address;
    bool listens;
  };
  const Case cases[] = {
      {"listening on 127.0.0.1", INADDR_LOOPBACK, true},
      {"listening on every address", INADDR_ANY, true},
      {"bound on every address, not listening", INADDR_ANY, false},
  };
  for (const Case& c : cases) {
    const int port = FreePort();
    ASSERT_TRUE(PortFreeForListening(port)) << c.what;
    const int fd = Hold(c.address, port, c.listens);
    ASSERT_GE(fd, 0) << c.what;
    EXPECT_FALSE(PortFreeForListening(port)) << c.what;
    close(fd);
    EXPECT_TRUE(PortFreeForListening(port)) << c.what;
  }
}

TEST(FreePort, OnlyTheBridgesLineForThatPortInUseCountsAsTaken) {
  struct Case {
    const char* output;
    bool taken;
  };
  const Case cases[] = {
      {"Tarnexio: cannot listen on TCP port 20001 (Address already in use)\n", true},
      {"BTFTM : x\nTarnexio: cannot listen on TCP port 20001 (error 10048: Only one usage of each socket address)\n",
       true},
      {"Tarnexio: cannot listen on TCP port 20002 (Address already in use)\n", false},  // another port
      {"Tarnexio: cannot listen on TCP port 200011 (Address already in use)\n", false},
      {"Tarnexio: cannot listen on TCP port 20001 (Permission denied)\n", false},
      {"Tarnexio: cannot listen on TCP port 20001 (error 10013: access denied)\n", false},
      {"Address already in use\n", false},
      // With TARNEXIO_LISTEN the address follows the port.
      {"Tarnexio: cannot listen on TCP port 20001 of ::1 (Address already in use)\n", true},
      {"Tarnexio: cannot listen on TCP port 20001 of 192.0.2.1 (Cannot assign requested address)\n", false},
      {"Tarnexio: cannot listen on TCP port 20001 of 127.0.0.1 (x)\nAddress already in use\n", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(SaysPortInUse(c.output, 20001), c.taken) << c.output;
}

TEST(ChildProcessWaits, AWaitThatGivesUpSaysWhatItWaitedForAndWhatCame) {
  ChildProcess ended({"/bin/sh", "-c", "echo first line; echo second line"});
  const ::testing::AssertionResult missing = ended.WaitForOutput("third\n", Millis(5000));
  EXPECT_FALSE(missing);
  const std::string said = missing.message();
  EXPECT_NE(said.find("\"third\\n\""), std::string::npos) << said;
  EXPECT_NE(said.find("in sh's output"), std::string::npos) << said;
  EXPECT_NE(said.find("the output ended first"), std::string::npos) << said;
  EXPECT_NE(said.find("first line\nsecond line\n"), std::string::npos) << said;

  ChildProcess crashed({"/bin/sh", "-c", "echo before; kill -SEGV $$"});
  ASSERT_TRUE(crashed.WaitForEnd());
  crashed.WaitExit();
  const ::testing::AssertionResult crash = crashed.WaitForOutput("after");
  EXPECT_NE(std::string(crash.message()).find("sh was killed by signal 11"), std::string::npos) << crash.message();
  ChildProcess failed({"/bin/sh", "-c", "exit 3"});
  failed.WaitExit();
  const ::testing::AssertionResult exited = failed.WaitForOutput("anything");
  EXPECT_NE(std::string(exited.message()).find("sh exited with 3"), std::string::npos) << exited.message();

  ChildProcess waiting({"/bin/sh", "-c", "echo once; exec sleep 30"});
  ASSERT_TRUE(waiting.WaitForOutput("once\n"));
  const ::testing::AssertionResult twice = waiting.WaitForCount("once", 2, Millis(50));
  EXPECT_FALSE(twice);
  EXPECT_NE(std::string(twice.message()).find("2 times (seen 1)"), std::string::npos) << twice.message();
  EXPECT_NE(std::string(twice.message()).find("it did not come in that time"), std::string::npos) << twice.message();
  EXPECT_FALSE(waiting.WaitForEnd(Millis(50)));
}

TEST(ChildProcessWaits, LinesAreWholeAndCountsAtTheEndSeeEverything) {
  ChildProcess child({"/bin/sh", "-c", "printf 'ftmd: serv'; sleep 0.2; printf 'ing x\\nnot ftmd: serving y\\n'; "
                                       "echo a; echo a; echo a"});
  EXPECT_EQ(child.WaitForLine("ftmd: serving "), "ftmd: serving x");
  EXPECT_EQ(child.CountAtEnd("a\n"), 3);
  EXPECT_EQ(child.WaitForLine("ftmd: serving y"), "");  // not at a line's start
  EXPECT_EQ(Tail(std::string(5000, 'x') + "\nlast\n", 10), "[5001 bytes before]\nlast\n");
  EXPECT_EQ(Printable("a\n\x01"), "a\\n\\x01");
}

}  // namespace

namespace {

TEST(ListensOnUnixSocket, OnlyAListeningSocketOfThatProcessCounts) {
  // Started first, so that it never shares the socket (as a child would until its exec).
  tarnexio_test::ChildProcess other({"/bin/sleep", "30"});
  tarnexio_test::TempDir dir;
  const std::string path = dir.path + "/server";
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(bind(fd, (sockaddr*)&a, sizeof a), 0);
  EXPECT_FALSE(tarnexio_test::ListensOnUnixSocket(getpid(), path)) << "bound, not yet listening";
  ASSERT_EQ(listen(fd, 1), 0);
  EXPECT_TRUE(tarnexio_test::ListensOnUnixSocket(getpid(), path));
  EXPECT_FALSE(tarnexio_test::ListensOnUnixSocket(getpid(), path + "x"));
  EXPECT_FALSE(tarnexio_test::ListensOnUnixSocket(other.pid(), path)) << "another process's socket";
  close(fd);
  EXPECT_FALSE(tarnexio_test::ListensOnUnixSocket(getpid(), path));
}

}  // namespace
