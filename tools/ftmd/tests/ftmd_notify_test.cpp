// ftmd under a service manager that waits for it (a systemd unit of Type=notify): it says
// READY=1 on $NOTIFY_SOCKET once its device socket listens, and STOPPING=1 when it stops.
#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "client.h"
#include "test_time.h"

using namespace ftmd_test;

namespace {

// The service manager's end: a datagram socket at a path or, for "@NAME", an abstract name.
struct NotifySocket {
  explicit NotifySocket(const std::string& name) {
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    name.copy(a.sun_path, sizeof a.sun_path);
    if (name[0] == '@') a.sun_path[0] = '\0';
    bound = bind(fd, reinterpret_cast<sockaddr*>(&a), socklen_t(offsetof(sockaddr_un, sun_path) + name.size())) == 0;
  }
  ~NotifySocket() { close(fd); }
  // The next datagram, or "" when none comes in time.
  std::string Receive(int timeoutMs = 5000) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, tarnexio_test::ScaledMs(timeoutMs)) != 1) return "";
    char buf[512];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, size_t(n)) : "";
  }
  int fd = -1;
  bool bound = false;
};

}  // namespace

TEST(FtmdNotify, ReadyOnceListeningAndStoppingOnStopAtAPathAndAnAbstractName) {
  TempDir dir;
  for (const std::string& name : {dir.path + "/notify", "@tarnexio-notify-" + std::to_string(getpid())}) {
    SCOPED_TRACE(name);
    NotifySocket manager(name);
    ASSERT_TRUE(manager.bound);
    FtmdProcess ftmd(dir.path, {}, Launch{{"/usr/bin/env", "NOTIFY_SOCKET=" + name}});
    ASSERT_TRUE(ftmd.ready()) << ftmd.output();
    const std::string ready = manager.Receive();
    EXPECT_EQ(ready, "READY=1\nSTATUS=" + ftmd.readyLine().substr(6)) << "after the ready line, and only once";
    EXPECT_EQ(manager.Receive(100), "");
    ftmd.signal(SIGTERM);
    EXPECT_EQ(manager.Receive(), "STOPPING=1");
    EXPECT_EQ(ftmd.wait(), 0);
    EXPECT_EQ(ftmd.output().find("service manager"), std::string::npos) << ftmd.output();
  }
}

// A notify socket that nobody reads, or a name no socket can have: ftmd says so on one line
// each time and serves all the same (the manager, if any, then gives up on it by itself).
TEST(FtmdNotify, ASocketNobodyServesIsReportedAndFtmdServesAllTheSame) {
  TempDir dir;
  const struct {
    std::string name, says;
  } cases[] = {
      {dir.path + "/nobody", "ftmd: cannot tell the service manager READY=1 on " + dir.path + "/nobody: "},
      {"/" + std::string(120, 'x'), "ftmd: NOTIFY_SOCKET is too long for a socket address\n"},
  };
  for (const auto& c : cases) {
    FtmdProcess ftmd(dir.path, {}, Launch{{"/usr/bin/env", "NOTIFY_SOCKET=" + c.name}});
    ASSERT_TRUE(ftmd.ready()) << ftmd.output();
    EXPECT_TRUE(ftmd.waitForOutput(c.says));
    DevClient client(deviceSocket(dir.path, 1));
    EXPECT_TRUE(client.connected());
    ftmd.signal(SIGTERM);
    EXPECT_EQ(ftmd.wait(), 0);
  }
}
