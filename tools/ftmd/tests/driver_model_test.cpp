// The driver state of one connection, driven directly (no sockets).
#include <gtest/gtest.h>


#include "client.h"
#include "driver_model.h"
#include "sim_controller.h"

using namespace ftmd;

namespace {
struct ModelTest : ::testing::Test {
  ManualClock clock;
  TimerQueue timers{clock};
  std::vector<Bytes> sent;
  DriverConfig cfg;
  std::unique_ptr<DriverModel> model;
  std::vector<Bytes> keep;  // request bytes live as long as the test

  void make(int type, size_t queueLimit = 256) {
    cfg.type = type;
    cfg.queueLimit = queueLimit;
    model = std::make_unique<DriverModel>(cfg, timers, [this](Bytes b) { sent.push_back(std::move(b)); }, "t");
  }
  void ioctl(uint32_t id, uint32_t code, uint32_t outSize, Bytes in = {}) {
    keep.push_back(std::move(in));
    Request r;
    r.kind = kMsgIoctl;
    r.id = id;
    r.code = code;
    r.outSize = outSize;
    r.in = keep.back().data();
    r.inLen = keep.back().size();
    model->handle(r);
  }
  void command(uint32_t id, uint16_t op, Bytes params = {}) {
    ioctl(id, IOCTL_BTFTM_SEND_HCI_CMD, 0, ftmd_test::hciCommand(op, params));
  }
  // Status of the COMPLETE for `id` among what was sent, or -1.
  long statusOf(uint32_t id) const {
    for (const Bytes& m : sent)
      if (Le32(m.data()) == kMsgComplete && Le32(m.data() + 4) == id) return long(Le32(m.data() + 8));
    return -1;
  }
  // The kinds of the replies to `id`, in order: 'P' for PENDING, 'C' for COMPLETE.
  std::string repliesTo(uint32_t id) const {
    std::string kinds;
    for (const Bytes& m : sent)
      if (Le32(m.data() + 4) == id) kinds += Le32(m.data()) == kMsgComplete ? 'C' : 'P';
    return kinds;
  }
  Bytes outputOf(uint32_t id) const {
    for (const Bytes& m : sent)
      if (Le32(m.data()) == kMsgComplete && Le32(m.data() + 4) == id) return Bytes(m.begin() + 16, m.end());
    return {};
  }
  void scoLink(Bytes& handleOut) {
    command(100, kOpCreateConnection, {1, 2, 3, 4, 5, 6});
    command(101, kOpSetupSyncConnection, {1, 0});
    clock.advance(std::chrono::milliseconds(kSimLinkSetupMs));
    timers.runDue();
    handleOut = {2, 0};  // the second handle the simulated controller hands out
  }
};
}  // namespace

TEST_F(ModelTest, ScoReadChangesWithTheInterface) {
  make(1);
  ioctl(1, IOCTL_BTFTM_ENABLE_FTM, 0);
  Bytes h;
  scoLink(h);
  ioctl(2, IOCTL_BTFTM_READ_SCO, 0);  // no interface yet: waits, whatever its size
  const Bytes pkt{h[0], h[1], 60, 0x11};
  Bytes full = pkt;
  full.resize(63, 0x22);
  ioctl(3, IOCTL_BTFTM_SEND_SCO, 0, full);
  EXPECT_EQ(statusOf(2), -1);
  // Interface 1 has 27-byte slots: the 63-byte packet does not fit and is dropped.
  ioctl(4, IOCTL_BTFTM_SELECT_SCO_INF, 0, {1});
  EXPECT_EQ(statusOf(4), 0);
  EXPECT_EQ(statusOf(2), 87);  // its buffer (0 bytes) cannot hold a reply of 81
  ioctl(5, IOCTL_BTFTM_READ_SCO, 81);
  ioctl(6, IOCTL_BTFTM_SEND_SCO, 0, full);
  EXPECT_EQ(statusOf(5), -1);
  // Interface 6 (unit 63): the packet sits in slot 0 of a 567-byte reply.
  ioctl(7, IOCTL_BTFTM_SELECT_SCO_INF, 0, {6});
  ioctl(8, IOCTL_BTFTM_READ_SCO, 567);
  ioctl(9, IOCTL_BTFTM_SEND_SCO, 0, full);
  EXPECT_EQ(statusOf(5), 87);  // 81 bytes no longer hold a reply of 567
  Bytes out = outputOf(8);
  ASSERT_EQ(out.size(), 567u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 63), full);
  EXPECT_EQ(out[189], 0);
  EXPECT_EQ(out[378], 0);
}

// What is done when it arrives completes in the first reply; what has to wait, and with
// --pend-always everything, answers PENDING first.
TEST_F(ModelTest, FirstReplyIsCompleteWhenTheRequestIsDoneAtOnce) {
  for (bool pendAlways : {false, true}) {
    SCOPED_TRACE(pendAlways ? "pend always" : "at once");
    sent.clear();
    cfg.pendAlways = pendAlways;
    make(1, 4);
    ioctl(1, IOCTL_BTFTM_ENABLE_FTM, 0);
    ioctl(2, IOCTL_BTFTM_READ_EVENT, 262);  // nothing queued: waits
    command(3, kOpReset);       // taken; its Command Complete goes to read 2
    command(4, kOpReset);       // taken; its Command Complete is queued
    ioctl(5, IOCTL_BTFTM_READ_EVENT, 262);  // finds it
    const std::string done = pendAlways ? "PC" : "C";
    EXPECT_EQ(repliesTo(1), "P");
    EXPECT_EQ(repliesTo(2), "PC");
    EXPECT_EQ(repliesTo(3), done);
    EXPECT_EQ(repliesTo(4), done);
    EXPECT_EQ(repliesTo(5), done);
    EXPECT_EQ(outputOf(5), outputOf(2));
    for (uint32_t i = 0; i < 3; ++i) command(10 + i, kOpReset);  // the third is held back
    EXPECT_EQ(repliesTo(10), done);
    EXPECT_EQ(repliesTo(12), "P");
    ioctl(20, IOCTL_BTFTM_READ_ACL, 1028);
    EXPECT_EQ(repliesTo(20), "P");
  }
}

TEST_F(ModelTest, QueuesAndPendingReadsAreBounded) {
  make(1, 4);
  ioctl(1, IOCTL_BTFTM_ENABLE_FTM, 0);
  for (uint32_t i = 0; i < 10; ++i) command(10 + i, kOpReset);
  // The controller took commands while half the event queue was free; the rest wait.
  EXPECT_EQ(statusOf(11), 0);
  EXPECT_EQ(statusOf(12), -1);
  EXPECT_EQ(statusOf(19), -1);
  for (uint32_t i = 0; i < 10; ++i) ioctl(100 + i, IOCTL_BTFTM_READ_EVENT, 262);
  int served = 0;
  for (uint32_t i = 0; i < 10; ++i) served += statusOf(100 + i) == 0;
  EXPECT_EQ(served, 10);  // reads made room, the held commands were taken: nothing lost
  for (uint32_t i = 0; i < 10; ++i) EXPECT_EQ(statusOf(10 + i), 0) << i;
  size_t before = sent.size();
  for (uint32_t i = 0; i < 100; ++i) ioctl(200 + i, IOCTL_BTFTM_READ_ACL, 1028);
  EXPECT_EQ(statusOf(200 + 63), -1);
  EXPECT_EQ(statusOf(200 + 64), 1450);  // beyond 64 pending reads of one kind
  EXPECT_GT(sent.size(), before);
  EXPECT_EQ(model->pendingCount(), 64u + 1u);  // ACL reads, FTM: every event read was served
}

TEST_F(ModelTest, WritesWaitingForTheControllerAreBounded) {
  make(1, 4);
  ioctl(1, IOCTL_BTFTM_ENABLE_FTM, 0);
  for (uint32_t i = 0; i < 100; ++i) command(10 + i, kOpReset);
  EXPECT_EQ(statusOf(11), 0);       // taken while half the event queue was free
  EXPECT_EQ(statusOf(12 + 63), -1);  // 64 wait
  EXPECT_EQ(statusOf(12 + 64), 1450);
  EXPECT_EQ(statusOf(109), 1450);
  EXPECT_EQ(model->pendingCount(), 64u + 1u);
}

TEST_F(ModelTest, HeldWritesKeepTheirOrderAndEndOnCancel) {
  make(1, 4);
  ioctl(1, IOCTL_BTFTM_ENABLE_FTM, 0);
  for (uint32_t i = 0; i < 4; ++i) command(10 + i, kOpReset);
  EXPECT_EQ(statusOf(12), -1);
  model->handle(Request{kMsgCancel, 13, 0, 0, nullptr, 0});
  EXPECT_EQ(statusOf(13), 995);
  EXPECT_EQ(statusOf(12), -1);  // only the one named
  ioctl(100, IOCTL_BTFTM_READ_EVENT, 262);
  EXPECT_EQ(statusOf(12), 0);  // a read made room for the oldest held write
}

TEST_F(ModelTest, HeldWritesEndWithFtmModeOrWithACancelOfAll) {
  make(1, 4);
  ioctl(1, IOCTL_BTFTM_ENABLE_FTM, 0);
  for (uint32_t i = 0; i < 4; ++i) command(10 + i, kOpReset);
  ioctl(20, IOCTL_BTFTM_READ_ACL, 1028);
  // A cancel of everything names the held writes too: they end as cancelled, not as
  // writes cut off by the end of FTM mode that the same cancel brings.
  model->handle(Request{kMsgCancel, 0, 0, 0, nullptr, 0});
  EXPECT_EQ(statusOf(1), 995);
  EXPECT_EQ(statusOf(12), 995);
  EXPECT_EQ(statusOf(13), 995);
  EXPECT_EQ(statusOf(20), 995);
  EXPECT_EQ(model->pendingCount(), 0u);

  ioctl(2, IOCTL_BTFTM_ENABLE_FTM, 0);
  for (uint32_t i = 0; i < 4; ++i) command(30 + i, kOpReset);
  ioctl(40, IOCTL_BTFTM_READ_ACL, 1028);
  model->endFtmMode();
  EXPECT_EQ(statusOf(2), 0);
  EXPECT_EQ(statusOf(32), 21);  // the controller is off: the write never reached it
  EXPECT_EQ(statusOf(33), 21);
  EXPECT_EQ(statusOf(40), -1);  // reads wait on
}

TEST_F(ModelTest, HeldAclWritesFollowTheGeneratedTrafficThatFilledTheQueue) {
  make(1, 8);
  ioctl(1, IOCTL_BTFTM_ENABLE_FTM, 0);
  command(10, kOpCreateConnection, {1, 2, 3, 4, 5, 6});
  clock.advance(std::chrono::milliseconds(kSimLinkSetupMs));
  timers.runDue();
  ioctl(11, IOCTL_BTFTM_READ_EVENT, 262);
  ioctl(12, IOCTL_BTFTM_READ_EVENT, 262);
  ASSERT_EQ(outputOf(12)[0], 0x03);  // Connection Complete, handle 1
  command(13, kOpVendorGenerateAcl, {1, 0, 10, 0, 2, 0, 0x7E});  // 10 packets of 2 bytes
  const Bytes echo{1, 0, 2, 0, 0x7D, 0x7D};
  for (uint32_t i = 0; i < 3; ++i) ioctl(20 + i, IOCTL_BTFTM_SEND_ACL, 0, echo);
  EXPECT_EQ(statusOf(20), -1);  // the generated packets fill the ACL queue
  for (uint32_t i = 0; i < 13; ++i) ioctl(100 + i, IOCTL_BTFTM_READ_ACL, 1028);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(statusOf(20 + i), 0) << i;
  for (uint32_t i = 0; i < 10; ++i) EXPECT_EQ(outputOf(100 + i), (Bytes{1, 0x20, 2, 0, 0x7E, 0x7E})) << i;
  for (uint32_t i = 10; i < 13; ++i) EXPECT_EQ(outputOf(100 + i), echo) << i;
}

TEST_F(ModelTest, ReusedIdOfAPendingRequestIsDropped) {
  make(1);
  ioctl(1, IOCTL_BTFTM_READ_EVENT, 262);
  const size_t n = sent.size();
  ioctl(1, IOCTL_BTFTM_SELECT_SCO_INF, 0, {1});
  EXPECT_EQ(sent.size(), n);
  model->handle(Request{kMsgCancel, 1, 0, 0, nullptr, 0});
  EXPECT_EQ(statusOf(1), 995);
  ioctl(1, IOCTL_BTFTM_SELECT_SCO_INF, 0, {1});  // completed ids may be used again
  EXPECT_EQ(sent.size(), n + 2);
}

TEST_F(ModelTest, Type2EventReplyHeader) {
  make(2);
  ioctl(1, IOCTL_BTFTM_READ_EVENT, 262, {4, 0, 0, 0});
  ioctl(2, IOCTL_BTFTM_SEND_HCI_CMD, 4, {0x03, 0x0C, 0});
  ioctl(3, IOCTL_BTFTM_READ_EVENT, 262, {4, 0, 0, 0});
  ioctl(4, IOCTL_BTFTM_SEND_HCI_CMD, 4, {0x03, 0x0C, 0});
  EXPECT_EQ(outputOf(1), (Bytes{0x04, 6, 0, 1, 0, 0x0E, 4, 1, 0x03, 0x0C, 0}));
  EXPECT_EQ(outputOf(3), (Bytes{0x04, 6, 0, 2, 0, 0x0E, 4, 1, 0x03, 0x0C, 0}));
}

TEST_F(ModelTest, FtmModeEndsByItselfAfterItsSecondsUnlessEndedBefore) {
  cfg.ftmSeconds = 2;
  make(1);
  ioctl(1, IOCTL_BTFTM_ENABLE_FTM, 0);
  clock.advance(std::chrono::milliseconds(1999));
  timers.runDue();
  EXPECT_EQ(statusOf(1), -1);  // still in FTM mode
  clock.advance(std::chrono::milliseconds(1));
  timers.runDue();
  EXPECT_EQ(statusOf(1), 0);

  // Ended on request first: the timer goes with it and ends nothing later.
  ioctl(2, IOCTL_BTFTM_ENABLE_FTM, 0);
  model->endFtmMode();
  EXPECT_EQ(statusOf(2), 0);
  ioctl(3, IOCTL_BTFTM_ENABLE_FTM, 0);
  clock.advance(std::chrono::milliseconds(1999));
  timers.runDue();
  EXPECT_EQ(statusOf(3), -1);
}
