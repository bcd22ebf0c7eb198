// ftmd as a user runs it: start, ready line, socket handling, signals, and the driver
// side of every control code over the real device channel.
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "client.h"
#include "test_time.h"
#include "wait_until.h"

using namespace ftmd;
using namespace ftmd_test;

namespace {
bool exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}
const Bytes kReset{0x03, 0x0C, 0x00};
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif
}  // namespace

TEST(FtmdProcess, ReadyLineSignalsAndSocketFile) {
  TempDir dir;
  const std::map<int, std::string> names = {
      {SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}, {SIGHUP, "SIGHUP"}, {SIGQUIT, "SIGQUIT"}};
  for (const auto& [sig, name] : names) {
    FtmdProcess p(dir.path, {"--type", "2"});
    ASSERT_TRUE(p.ready()) << p.output();
    EXPECT_EQ(p.readyLine(), "ftmd: serving btftmdriver (type 2) on " + dir.path + "/btftmdriver");
    EXPECT_TRUE(exists(dir.path + "/btftmdriver"));
    p.signal(sig);
    EXPECT_EQ(p.wait(), 0);
    EXPECT_FALSE(exists(dir.path + "/btftmdriver"));
    const std::string out = p.output();
    EXPECT_NE(out.find("ftmd: stopped on " + name), std::string::npos);
    EXPECT_EQ(out.find("IOCTL"), std::string::npos);  // quiet without -v
  }
}

TEST(FtmdProcess, StaleSocketReplacedLiveOneRefused) {
  TempDir dir;
  const std::string path = deviceSocket(dir.path, 1);
  {  // a socket file whose server is gone
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    close(fd);
  }
  FtmdProcess first(dir.path, {});
  ASSERT_TRUE(first.ready()) << first.output();
  FtmdProcess second(dir.path, {});
  EXPECT_FALSE(second.ready());
  EXPECT_EQ(second.wait(), 1);
  EXPECT_NE(second.output().find("another ftmd already serves ZELDROVE"), std::string::npos);
  // The refused one left the live socket alone.
  DevClient c(path);
  EXPECT_TRUE(c.connected());
}

TEST(FtmdProcess, HelpAndBadOptions) {
  TempDir dir;
  FtmdProcess help(dir.path, {"--help"});
  EXPECT_EQ(help.wait(), 0);
  for (const char* opt : {"--type", "--dir", "--group", "--bt-on", "--ftm-seconds", "--controller", "--bdaddr", "--tcp", "--h4",
                          "--verbose", "--help"})
    EXPECT_NE(help.output().find(opt), std::string::npos) << opt;
  FtmdProcess bad(dir.path, {"--type", "3"});
  EXPECT_EQ(bad.wait(), 2);
  EXPECT_NE(bad.output().find("--type takes 1 or 2"), std::string::npos);
}

TEST(FtmdProcess, Type1BuffersOfEveryCode) {
  TempDir dir;
  FtmdProcess p(dir.path, {});
  ASSERT_TRUE(p.ready());
  DevClient c(deviceSocket(dir.path, 1));
  uint32_t id = 1;
  auto status = [&](uint32_t code, uint32_t out, const Bytes& in) {
    Reply r = c.call(id++, code, out, in);
    return r.got && r.kind == kMsgComplete ? long(r.status) : -1;
  };
  // Before FTM mode the controller takes nothing.
  EXPECT_EQ(status(IOCTL_BTFTM_SEND_HCI_CMD, 0, kReset), 21);
  // Wrong buffers.
  EXPECT_EQ(status(IOCTL_BTFTM_READ_EVENT, 261, {}), 87);
  EXPECT_EQ(status(IOCTL_BTFTM_READ_EVENT, 262, {4, 0, 0, 0}), 87);
  EXPECT_EQ(status(IOCTL_BTFTM_SEND_HCI_CMD, 0, {0x03, 0x0C, 0x01}), 87);  // length says one parameter byte
  EXPECT_EQ(status(IOCTL_BTFTM_SEND_HCI_CMD, 4, kReset), 87);
  EXPECT_EQ(status(IOCTL_BTFTM_SEND_HCI_CMD, 0, {0x03}), 87);
  EXPECT_EQ(status(IOCTL_BTFTM_ENABLE_FTM, 4, {}), 87);
  EXPECT_EQ(status(IOCTL_BTFTM_ENABLE_FTM, 0, {1}), 87);
  EXPECT_EQ(status(IOCTL_BTFTM_SEND_ACL, 0, {1, 0, 2, 0, 9}), 87);
  EXPECT_EQ(status(IOCTL_BTFTM_SEND_ACL, 4, {1, 0, 0, 0}), 87);
  Bytes tooLong{1, 0, 0x01, 0x04};
  tooLong.resize(4 + 1025);
  EXPECT_EQ(status(IOCTL_BTFTM_SEND_ACL, 0, tooLong), 87);
  EXPECT_EQ(status(IOCTL_BTFTM_READ_ACL, 1024, {}), 87);
  EXPECT_EQ(status(IOCTL_BTFTM_READ_ACL, 1028, {0}), 87);
  EXPECT_EQ(status(IOCTL_BTFTM_SEND_SCO, 0, {1, 0, 3, 9}), 87);
  EXPECT_EQ(status(IOCTL_BTFTM_SEND_SCO, 1, {1, 0, 0}), 87);
  EXPECT_EQ(status(IOCTL_BTFTM_READ_SCO, 0, {1}), 87);
  EXPECT_EQ(status(IOCTL_BTFTM_SELECT_SCO_INF, 0, {8}), 87);
  EXPECT_EQ(status(IOCTL_BTFTM_SELECT_SCO_INF, 0, {}), 87);
  EXPECT_EQ(status(IOCTL_BTFTM_SELECT_SCO_INF, 1, {1}), 87);
  EXPECT_EQ(status(0x960025AC, 0, {}), 1);
  EXPECT_EQ(status(0x12345678, 0, {}), 1);
  // Good buffers: SCO selection completes at once, the rest pend.
  EXPECT_EQ(status(IOCTL_BTFTM_SELECT_SCO_INF, 0, {2}), 0);
  EXPECT_EQ(status(IOCTL_BTFTM_READ_SCO, 80, {}), 87);  // interface 2 reads 153 bytes
  ASSERT_EQ(c.call(100, IOCTL_BTFTM_ENABLE_FTM, 0).kind, kMsgPending);
  Reply w = c.callPending(101, IOCTL_BTFTM_SEND_HCI_CMD, 0, kReset);
  EXPECT_EQ(w.status, 0u);
  EXPECT_TRUE(w.out.empty());
  Reply ev = c.callPending(102, IOCTL_BTFTM_READ_EVENT, 262);
  EXPECT_EQ(ev.out, (Bytes{0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00}));
  EXPECT_EQ(c.callPending(103, IOCTL_BTFTM_SEND_ACL, 0, {1, 0, 0, 0}).status, 0u);  // no link: dropped by the controller
  EXPECT_EQ(c.callPending(104, IOCTL_BTFTM_SEND_SCO, 0, {1, 0, 0}).status, 0u);
  EXPECT_EQ(c.call(105, IOCTL_BTFTM_READ_ACL, 1028).kind, kMsgPending);
  EXPECT_EQ(c.call(106, IOCTL_BTFTM_READ_SCO, 153).kind, kMsgPending);
  EXPECT_FALSE(c.recv(200).got);  // nothing to read: they stay pending
}

TEST(FtmdProcess, Type2BuffersOfEveryCode) {
  TempDir dir;
  FtmdProcess p(dir.path, {"--type", "2"});
  ASSERT_TRUE(p.ready());
  DevClient c(deviceSocket(dir.path, 2));
  EXPECT_EQ(c.call(1, IOCTL_BTFTM_READ_EVENT, 262).status, 87u);                 // no input
  EXPECT_EQ(c.call(2, IOCTL_BTFTM_READ_EVENT, 262, le32Bytes(5)).status, 87u);   // input not 4
  EXPECT_EQ(c.call(3, IOCTL_BTFTM_READ_EVENT, 262, {4, 0, 0}).status, 87u);      // 3 bytes
  EXPECT_EQ(c.call(4, IOCTL_BTFTM_SEND_HCI_CMD, 0, kReset).status, 87u);          // type 2 passes a 4-byte output
  EXPECT_EQ(c.call(5, IOCTL_BTFTM_ENABLE_FTM, 0).status, 1u);
  EXPECT_EQ(c.call(6, IOCTL_BTFTM_READ_ACL, 1028).status, 1u);
  EXPECT_EQ(c.call(7, IOCTL_BTFTM_READ_SCO, 0).status, 1u);
  EXPECT_EQ(c.call(8, IOCTL_BTFTM_SELECT_SCO_INF, 0, {1}).status, 0u);
  EXPECT_EQ(c.callPending(9, IOCTL_BTFTM_SEND_ACL, 0, {1, 0, 0, 0}).status, 0u);
  EXPECT_EQ(c.callPending(10, IOCTL_BTFTM_SEND_SCO, 0, {1, 0, 0}).status, 0u);
  // Traffic flows from the start: no FTM mode request.
  Reply w = c.callPending(11, IOCTL_BTFTM_SEND_HCI_CMD, 4, kReset);
  EXPECT_EQ(w.status, 0u);
  Reply ev = c.callPending(12, IOCTL_BTFTM_READ_EVENT, 262, le32Bytes(4));
  EXPECT_EQ(ev.out, (Bytes{0x04, 6, 0, 1, 0, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00}));
}

// A bridge that has just ended may still be closing its device connection when the next
// run's first request comes: the newcomer waits for it, and is served, not told "in use".
TEST(FtmdProcess, TheNextClientWaitsForAHolderOnItsWayOut) {
  TempDir dir;
  FtmdProcess p(dir.path, {"-v"});
  ASSERT_TRUE(p.ready());
  auto holder = std::make_unique<DevClient>(deviceSocket(dir.path, 1));
  ASSERT_EQ(holder->call(1, IOCTL_BTFTM_SELECT_SCO_INF, 0, {1}).status, 0u);
  DevClient next(deviceSocket(dir.path, 1));
  next.ioctl(7, IOCTL_BTFTM_SELECT_SCO_INF, 0, {1});
  ASSERT_TRUE(p.waitForOutput(" waits for the controller's holder to go", tarnexio_test::ScaledMs(5000))) << p.output();
  holder.reset();
  const Reply r = next.recv(10000);
  EXPECT_TRUE(r.got);
  EXPECT_EQ(r.id, 7u);
  EXPECT_EQ(r.status, 0u) << p.output();
  EXPECT_EQ(p.output().find("refused"), std::string::npos) << p.output();
}

TEST(FtmdProcess, FtmModeStartRefusalAndEnd) {
  TempDir dir;
  {
    FtmdProcess p(dir.path, {});
    ASSERT_TRUE(p.ready());
    DevClient a(deviceSocket(dir.path, 1)), b(deviceSocket(dir.path, 1));
    ASSERT_EQ(a.call(1, IOCTL_BTFTM_ENABLE_FTM, 0).kind, kMsgPending);
    EXPECT_EQ(a.call(2, IOCTL_BTFTM_ENABLE_FTM, 0).status, 170u);  // one is pending already
    // One controller, one device connection: the second is told it is in use (32).
    b.ioctl(1, IOCTL_BTFTM_ENABLE_FTM, 0);  // told once the holder has had its grace to go
    EXPECT_EQ(b.recv(10000).status, 32u);
    p.signal(SIGUSR1);
    Reply end = a.recv();
    EXPECT_TRUE(end.got);
    EXPECT_EQ(end.kind, kMsgComplete);
    EXPECT_EQ(end.id, 1u);
    EXPECT_EQ(end.status, 0u);
    EXPECT_EQ(a.call(3, IOCTL_BTFTM_SEND_HCI_CMD, 0, kReset).status, 21u);  // FTM mode is over
    ASSERT_EQ(a.call(4, IOCTL_BTFTM_ENABLE_FTM, 0).kind, kMsgPending);  // and may start again
  }
  {
    FtmdProcess p(dir.path, {"--ftm-seconds", "1"});
    ASSERT_TRUE(p.ready());
    DevClient a(deviceSocket(dir.path, 1));
    ASSERT_EQ(a.call(1, IOCTL_BTFTM_ENABLE_FTM, 0).kind, kMsgPending);
    Reply end = a.recv(4000);
    EXPECT_EQ(end.kind, kMsgComplete);
    EXPECT_EQ(end.status, 0u);
  }
  {
    FtmdProcess p(dir.path, {"--bt-on"});
    ASSERT_TRUE(p.ready());
    DevClient a(deviceSocket(dir.path, 1));
    EXPECT_EQ(a.call(1, IOCTL_BTFTM_ENABLE_FTM, 0).status, 22u);
  }
}

TEST(FtmdProcess, CancelCloseAndMalformedDatagrams) {
  TempDir dir;
  FtmdProcess p(dir.path, {"-v"});
  ASSERT_TRUE(p.ready());
  {
    DevClient c(deviceSocket(dir.path, 1));
    c.sendRaw({1, 0, 0, 0});                         // too short
    c.sendRaw({9, 0, 0, 0, 1, 0, 0, 0});             // unknown kind
    c.sendRaw({1, 0, 0, 0, 0, 0, 0, 0, 0x8C, 0x25, 0, 0x96, 6, 1, 0, 0});  // id 0
    ASSERT_EQ(c.call(1, IOCTL_BTFTM_ENABLE_FTM, 0).kind, kMsgPending);
    ASSERT_EQ(c.call(2, IOCTL_BTFTM_READ_EVENT, 262).kind, kMsgPending);
    ASSERT_EQ(c.call(3, IOCTL_BTFTM_READ_ACL, 1028).kind, kMsgPending);
    c.cancel(3);
    Reply r = c.recv();
    EXPECT_EQ(r.id, 3u);
    EXPECT_EQ(r.status, 995u);
    c.cancel(3);  // already complete: no answer
    c.cancel(77);
    c.cancel(0);
    std::set<uint32_t> ids;
    for (int i = 0; i < 2; ++i) {
      r = c.recv();
      EXPECT_EQ(r.status, 995u);
      ids.insert(r.id);
    }
    EXPECT_EQ(ids, (std::set<uint32_t>{1, 2}));
    EXPECT_FALSE(c.recv(200).got);
    // Requests pending, replies unread, then gone.
    ASSERT_EQ(c.call(4, IOCTL_BTFTM_ENABLE_FTM, 0).kind, kMsgPending);
    for (uint32_t i = 0; i < 300; ++i) c.ioctl(10 + i, IOCTL_BTFTM_SEND_HCI_CMD, 0, kReset);
    c.ioctl(5, IOCTL_BTFTM_READ_EVENT, 262);
    c.cancel(0);
  }
  // The next client is served, and may enter FTM mode again.
  DevClient c(deviceSocket(dir.path, 1));
  ASSERT_EQ(c.call(1, IOCTL_BTFTM_ENABLE_FTM, 0).kind, kMsgPending);
  EXPECT_EQ(c.callPending(2, IOCTL_BTFTM_SEND_HCI_CMD, 0, kReset).status, 0u);
  EXPECT_EQ(c.callPending(3, IOCTL_BTFTM_READ_EVENT, 262).out.size(), 6u);
  for (const char* line : {"dropping a datagram too short for its kind", "dropping a datagram of an unknown kind",
                           "dropping an IOCTL with id 0", "conn 1: IOCTL id 2 READ_EVENT in 0 out 262",
                           "conn 1: COMPLETE id 3 status 995, 0 bytes"})
    EXPECT_TRUE(p.waitForOutput(line));
}

TEST(FtmdProcess, EmptyDatagramIsDroppedAndTheConnectionLives) {
  TempDir dir;
  FtmdProcess p(dir.path, {});
  ASSERT_TRUE(p.ready());
  DevClient c(deviceSocket(dir.path, 1));
  ASSERT_EQ(c.call(1, IOCTL_BTFTM_ENABLE_FTM, 0).kind, kMsgPending);
  c.sendRaw({});
  // FTM mode is still on: the controller takes a command, and the mode's request is there to cancel.
  const Reply w = c.callPending(2, IOCTL_BTFTM_SEND_HCI_CMD, 0, kReset);
  EXPECT_TRUE(w.got);
  EXPECT_EQ(w.status, 0u);
  c.cancel(1);
  const Reply r = c.recv();
  EXPECT_TRUE(r.got);
  EXPECT_EQ(r.id, 1u);
  EXPECT_EQ(r.status, 995u);
  EXPECT_TRUE(p.waitForOutput("ftmd: dropping a datagram too short for its kind"));
}

TEST(FtmdProcess, HundredThousandRequestsLeaveNothingBehind) {
  TempDir dir;
  FtmdProcess p(dir.path, {});
  ASSERT_TRUE(p.ready());
  auto round = [&](uint32_t count) {
    DevClient c(deviceSocket(dir.path, 1));
    EXPECT_EQ(c.call(1, IOCTL_BTFTM_ENABLE_FTM, 0).kind, kMsgPending);
    uint32_t id = 2;
    for (uint32_t done = 0; done < count; done += 50) {
      // Fifty at a time: reads that pend and are cancelled, writes, selections, errors.
      const uint32_t first = id;
      for (int k = 0; k < 10; ++k) {
        c.ioctl(id++, IOCTL_BTFTM_READ_ACL, 1028);
        c.ioctl(id++, IOCTL_BTFTM_SEND_HCI_CMD, 0, kReset);
        c.ioctl(id++, IOCTL_BTFTM_READ_EVENT, 262);
        c.ioctl(id++, IOCTL_BTFTM_SELECT_SCO_INF, 0, {uint8_t(k % 8)});
        c.ioctl(id++, IOCTL_BTFTM_SEND_ACL, 0, {1, 2});
      }
      for (int k = 0; k < 10; ++k) c.cancel(first + 5 * uint32_t(k));  // the ACL reads; FTM mode stays
      for (int k = 0; k < 50;) {  // the completions; a PENDING may come before any of them
        Reply r = c.recv();
        if (!r.got) {
          ADD_FAILURE() << "batch at " << done << ": " << k << " completions";
          return false;
        }
        k += r.kind == kMsgComplete ? 1 : 0;
      }
    }
    return true;
  };
  const size_t fds = countFds(p.pid());  // no connection open
  ASSERT_TRUE(round(5000));
  const long rss = vmRssKb(p.pid());
  for (int i = 0; i < 19; ++i) ASSERT_TRUE(round(5000));
  // An address-sanitizer build keeps freed memory in quarantine: its size says nothing there.
  if (!kSanitized) {
    EXPECT_LT(vmRssKb(p.pid()), rss + 4096);
  }
  // ftmd notices the last client's close on its own time: wait for it, bounded.
  EXPECT_TRUE(WaitUntil([&] { return countFds(p.pid()) == fds; }, 2000)) << countFds(p.pid()) << " descriptors, " << fds << " before";
}
