#include <gtest/gtest.h>

#include <vector>

#include "client.h"
#include "sim_controller.h"
#include "timers.h"

using namespace ftmd;

namespace {
using ftmd_test::FakeHost;

struct SimTest : ::testing::Test {
  FakeHost host;
  ControllerOptions opt;
  SimController sim{opt, host};
  void send(uint16_t op, Bytes params = {}) {
    Bytes c = ftmd_test::hciCommand(op, params);
    sim.command(c.data(), c.size());
  }
  uint16_t open(uint16_t op, Bytes params) {
    send(op, params);
    EXPECT_EQ(host.take(), (Bytes{0x0F, 4, 0, 1, uint8_t(op), uint8_t(op >> 8)}));
    host.runTimers();
    Bytes ev = host.take();
    return Le16(ev.data() + 3);
  }
};
}  // namespace

TEST_F(SimTest, PlainCommandsCompleteWithStatusZeroOrUnknown) {
  for (uint16_t op : {0x0C03, 0x0C01, 0x0C1A, 0x1803, 0x1802, 0x201D, 0x2033, 0x201E, 0x2034, 0xFC55, 0xFFFF}) {
    send(op);
    EXPECT_EQ(host.take(), (Bytes{0x0E, 4, 1, uint8_t(op), uint8_t(op >> 8), 0})) << std::hex << op;
  }
  send(0x0C7F);  // not simulated
  EXPECT_EQ(host.take(), (Bytes{0x0E, 4, 1, 0x7F, 0x0C, 0x01}));
}

TEST_F(SimTest, LocalNameIsWrittenReadAndResetInItsWholeField) {
  auto readName = [this] {
    send(kOpReadLocalName);
    Bytes e = host.take();
    EXPECT_EQ(e.size(), 6u + 248u);
    return std::string(reinterpret_cast<const char*>(e.data() + 6));
  };
  EXPECT_EQ(readName(), "ftmd simulated controller");
  Bytes name(248, 'x');  // a name that fills the field has no terminating zero
  send(kOpWriteLocalName, name);
  EXPECT_EQ(host.take(), (Bytes{0x0E, 4, 1, 0x13, 0x0C, 0}));
  send(kOpReadLocalName);
  Bytes e = host.take();
  EXPECT_EQ(Bytes(e.begin() + 6, e.end()), name);
  send(kOpWriteLocalName, {});
  EXPECT_EQ(host.take(), (Bytes{0x0E, 4, 1, 0x13, 0x0C, 0x12}));
  send(kOpReset);
  host.take();
  EXPECT_EQ(readName(), "ftmd simulated controller");
}

TEST_F(SimTest, InquiryFindsOneDeviceThenCompletes) {
  send(kOpInquiry, {0x33, 0x8B, 0x9E, 0x00, 0x00});  // a length of 0 is out of range
  EXPECT_EQ(host.take(), (Bytes{0x0F, 4, 0x12, 1, 0x01, 0x04}));
  send(kOpInquiry, {0x33, 0x8B, 0x9E, 0x01, 0x00});
  EXPECT_EQ(host.take(), (Bytes{0x0F, 4, 0, 1, 0x01, 0x04}));
  host.runTimers();
  EXPECT_EQ(host.take(), (Bytes{0x02, 15, 1, 0xBD, 0x9A, 0x78, 0x56, 0x34, 0x12, 1, 0, 0, 0x0C, 0x01, 0x1F, 0, 0}));
  EXPECT_EQ(host.take(), (Bytes{0x01, 1, 0}));
  // Cancelled before the device answers: nothing more comes.
  send(kOpInquiry, {0x33, 0x8B, 0x9E, 0x01, 0x00});
  host.take();
  send(kOpInquiryCancel);
  EXPECT_EQ(host.take(), (Bytes{0x0E, 4, 1, 0x02, 0x04, 0}));
  host.runTimers();
  EXPECT_TRUE(host.got.empty());
}

TEST_F(SimTest, InformationCommands) {
  send(kOpReadBdAddr);
  EXPECT_EQ(host.take(), (Bytes{0x0E, 10, 1, 0x09, 0x10, 0, 0xBC, 0x9A, 0x78, 0x56, 0x34, 0x12}));
  send(kOpReadBufferSize);
  EXPECT_EQ(host.take(), (Bytes{0x0E, 11, 1, 0x05, 0x10, 0, 0xFD, 0x03, 144, 8, 0, 4, 0}));
  send(kOpReadLocalVersion);
  EXPECT_EQ(host.take(), (Bytes{0x0E, 12, 1, 0x01, 0x10, 0, 0x0C, 1, 0, 0x0C, 0xFF, 0xFF, 1, 0}));
  send(kOpLeTestEnd);  // no test running: no packets
  EXPECT_EQ(host.take(), (Bytes{0x0E, 6, 1, 0x1F, 0x20, 0, 0, 0}));
}

TEST_F(SimTest, LeReceiverTestCountsPacketsOverItsTimeOnTheHostsClock) {
  const struct {
    uint16_t start;
    int ms;
    unsigned packets;
  } cases[] = {
      {kOpLeReceiverTest, 0, 0},
      {kOpLeReceiverTest, 30, 30000u / kSimLeRxPacketUs},
      {kOpLeReceiverTestV2, 1000, 1000000u / kSimLeRxPacketUs},
      {kOpLeReceiverTest, 100000, 0xFFFF},  // the count saturates
      {kOpLeTransmitterTest, 30, 0},       // a transmitter counts nothing
  };
  for (const auto& c : cases) {
    send(c.start, {0x13});
    EXPECT_EQ(host.take()[5], 0);
    host.clock.advance(std::chrono::milliseconds(c.ms));
    send(kOpLeTestEnd);
    const Bytes end = host.take();
    ASSERT_EQ(end.size(), 8u);
    EXPECT_EQ(Le16(end.data() + 6), c.packets) << c.ms << " ms";
  }
}

TEST_F(SimTest, LinksOpenLoopBackAndClose) {
  const uint16_t acl = open(kOpCreateConnection, {1, 2, 3, 4, 5, 6, 0x18, 0xCC, 1, 0, 0, 0, 1});
  const uint16_t sco = open(kOpSetupSyncConnection, {uint8_t(acl), 0});
  EXPECT_NE(acl, sco);

  const Bytes a{uint8_t(acl), uint8_t(0x20 | (acl >> 8)), 3, 0, 0x7E, 0x7D, 0x00};
  sim.acl(a.data(), a.size());
  EXPECT_EQ(host.got[0], std::make_pair(Channel::Acl, a));
  EXPECT_EQ(host.got[1].second, (Bytes{0x13, 5, 1, uint8_t(acl), 0, 1, 0}));
  host.got.clear();
  const Bytes s{uint8_t(sco), 0, 2, 9, 9};
  sim.sco(s.data(), s.size());
  EXPECT_EQ(host.take(), s);

  // Data for handles not open, or for the wrong kind of link, is dropped and counted.
  const Bytes stray{0x00, 0x0E, 0, 0};
  sim.acl(stray.data(), stray.size());
  const Bytes aclAsSco{uint8_t(acl), 0, 0};
  sim.sco(aclAsSco.data(), aclAsSco.size());
  EXPECT_TRUE(host.got.empty());
  EXPECT_EQ(sim.droppedAcl(), 1u);
  EXPECT_EQ(sim.droppedSco(), 1u);

  send(kOpDisconnect, {uint8_t(sco), 0, 0x13});
  EXPECT_EQ(host.take(), (Bytes{0x0F, 4, 0, 1, 0x06, 0x04}));
  host.runTimers();
  EXPECT_EQ(host.take(), (Bytes{0x05, 4, 0, uint8_t(sco), 0, 0x16}));
  send(kOpDisconnect, {uint8_t(sco), 0, 0x13});  // already closed
  EXPECT_EQ(host.take(), (Bytes{0x0F, 4, 0x02, 1, 0x06, 0x04}));
}

TEST_F(SimTest, GeneratedTrafficFollowsRoomAndPattern) {
  const uint16_t acl = open(kOpCreateConnection, {1, 2, 3, 4, 5, 6});
  host.room = 3;  // the completion and two packets fit; the rest waits for resume()
  send(kOpVendorGenerateAcl, {uint8_t(acl), 0, 5, 0, 4, 0, 0x7E});
  ASSERT_EQ(host.got.size(), 3u);
  EXPECT_EQ(host.take(), (Bytes{0x0E, 4, 1, 0x01, 0xFC, 0}));
  EXPECT_EQ(host.take(), (Bytes{uint8_t(acl), 0x20, 4, 0, 0x7E, 0x7E, 0x7E, 0x7E}));
  host.got.clear();
  host.room = 100;
  sim.resume();
  EXPECT_EQ(host.got.size(), 3u);  // the other three of five

  host.got.clear();
  const uint16_t sco = open(kOpAddScoConnection, {uint8_t(acl), 0, 0xE0, 0});
  send(kOpVendorGenerateSco, {uint8_t(sco), 0, 1, 0, 3, 0});  // pattern 0: counting bytes
  host.take();
  EXPECT_EQ(host.take(), (Bytes{uint8_t(sco), 0, 3, 0, 1, 2}));
  send(kOpVendorGenerateSco, {uint8_t(acl), 0, 1, 0, 3, 0});  // an ACL handle
  EXPECT_EQ(host.take(), (Bytes{0x0E, 4, 1, 0x02, 0xFC, 0x02}));
  send(kOpVendorGenerateAcl, {uint8_t(acl), 0, 1, 0, 0xFE, 0x03, 1});  // longer than the buffers
  EXPECT_EQ(host.take(), (Bytes{0x0E, 4, 1, 0x01, 0xFC, 0x12}));
}

TEST_F(SimTest, ResetClosesLinks) {
  const uint16_t acl = open(kOpCreateConnection, {1, 2, 3, 4, 5, 6});
  send(kOpReset);
  host.got.clear();
  send(kOpDisconnect, {uint8_t(acl), 0, 0x13});
  EXPECT_EQ(host.take(), (Bytes{0x0F, 4, 0x02, 1, 0x06, 0x04}));
}

TEST(SimOptions, BdaddrText) {
  std::array<uint8_t, 6> a{};
  ASSERT_TRUE(parseBdaddr("00:11:22:33:44:5f", a));
  EXPECT_EQ(a, (std::array<uint8_t, 6>{{0x5F, 0x44, 0x33, 0x22, 0x11, 0x00}}));
  EXPECT_FALSE(parseBdaddr("00:11:22:33:44", a));
  EXPECT_FALSE(parseBdaddr("00:11:22:33:44:5g", a));
  EXPECT_FALSE(parseBdaddr("00-11-22-33-44-55", a));
}
