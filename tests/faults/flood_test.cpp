// A test host that stops reading while the controller floods it with events and ACL data.
// The bridge must block on its sends instead of piling data up, keep its threads and
// descriptors, and deliver everything once the host reads again.
#include "fault_support.h"
#include "thread_state.h"

#include <atomic>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <thread>

using namespace faults;

TEST(Flood, StalledTestHostHoldsTheBridgeSteadyAndLosesNothing) {
  const int aclCount = EnvCount("TARNEXIO_FLOOD_ACL", 4000);
  const int commandCount = EnvCount("TARNEXIO_FLOOD_COMMANDS", 1500);
  const int aclLength = 1000;
  LiveRun run("raw");
  ASSERT_TRUE(run.ready) << run.why;
  uint16_t handle = OpenAclLink(*run.host);
  ASSERT_NE(handle, 0xFFFF);

  // The remote side sends aclCount packets; the host asks for many events at once.
  run.host->Send(Command(0xFC01, {(uint8_t)handle, (uint8_t)(handle >> 8), (uint8_t)(aclCount & 0xFF),
                                  (uint8_t)(aclCount >> 8), (uint8_t)(aclLength & 0xFF), (uint8_t)(aclLength >> 8),
                                  0x00}));
  std::atomic<bool> sent{false};
  std::thread sender([&] {
    Bytes batch;
    for (int i = 0; i < commandCount; ++i) {
      Bytes c = Command(0x1009, {});
      batch.insert(batch.end(), c.begin(), c.end());
    }
    run.host->Send(batch);  // blocks while the bridge is held up; the reader below frees it
    sent = true;
  });

  // Not reading: the bridge fills the socket buffers and then waits in its send.
  ASSERT_TRUE(tarnexio_test::WaitProcessBlockedIn(run.bridge.child->pid(), SYS_sendto, 10000));
  ProcFigures first = Figures(run.bridge.child->pid());
  std::this_thread::sleep_for(Millis(2000));
  ProcFigures second = Figures(run.bridge.child->pid());
  ASSERT_TRUE(run.bridge.child->Running());
  EXPECT_EQ(second.threads, first.threads);
  EXPECT_EQ(second.fds, first.fds);
  EXPECT_LT(second.rssKb - first.rssKb, RssSlackKb()) << first.rssKb << " kB, then " << second.rssKb << " kB";

  // Reading again: every ACL packet whole and in order, every command answered.
  int acl = 0, answers = 0, broken = 0;
  while (acl < aclCount || answers < commandCount) {
    Bytes p = run.host->ReceiveH4(Millis(10000));
    if (p.empty()) break;
    if (p[0] == 0x02) {
      bool whole = p.size() == 5u + aclLength && (p[1] | ((p[2] & 0x0F) << 8)) == handle;
      for (int i = 0; whole && i < aclLength; ++i) whole = p[5 + i] == (uint8_t)i;
      if (!whole) ++broken;
      ++acl;
    } else if (IsCommandComplete(p, 0x1009)) {
      ++answers;
    }
  }
  sender.join();
  EXPECT_TRUE(sent.load());
  EXPECT_EQ(acl, aclCount);
  EXPECT_EQ(answers, commandCount);
  EXPECT_EQ(broken, 0);
  // Still serving.
  run.host->Send(Command(0x0C03, {}));
  EXPECT_FALSE(ReceiveUntil(*run.host, [](const Bytes& p) { return IsCommandComplete(p, 0x0C03); }).empty());
}
