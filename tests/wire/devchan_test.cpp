#include <gtest/gtest.h>

#include <random>

#include "wire/devchan.h"

using namespace wire;
using Bytes = std::vector<uint8_t>;

TEST(Contract, KnownNumbers) {
  // Numbers a driver on the other side was built with; a change here breaks every peer.
  EXPECT_EQ(IOCTL_BTFTM_READ_EVENT, 0x9600258Cu);
  EXPECT_EQ(IOCTL_BTFTM_SEND_HCI_CMD, 0x96002590u);
  EXPECT_EQ(IOCTL_BTFTM_ENABLE_FTM, 0x96002594u);
  EXPECT_EQ(IOCTL_BTFTM_SEND_ACL, 0x96002598u);
  EXPECT_EQ(IOCTL_BTFTM_READ_ACL, 0x9600259Cu);
  EXPECT_EQ(IOCTL_BTFTM_SEND_SCO, 0x960025A0u);
  EXPECT_EQ(IOCTL_BTFTM_READ_SCO, 0x960025A4u);
  EXPECT_EQ(IOCTL_BTFTM_SELECT_SCO_INF, 0x960025A8u);
  EXPECT_EQ(kEventReadSize, 262u);
  EXPECT_EQ(kAclReadSize, 1028u);
  const uint32_t units[8] = {0, 9, 17, 25, 33, 49, 63, 126};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(kScoSlotUnit[i], units[i]) << i;
  EXPECT_EQ(std::wstring(kType1DevicePath), L"\\\\.\\" + std::wstring(L"ZELDROVE"));
  EXPECT_EQ(std::string(kType2DeviceName), "btftmdriver");
}

TEST(Devchan, ClientMessagesHaveTheChannelLayout) {
  // The event read of a type 1 device.
  EXPECT_EQ(BuildDevchanIoctl(7, IOCTL_BTFTM_READ_EVENT, kEventReadSize, nullptr, 0),
            (Bytes{1, 0, 0, 0, 7, 0, 0, 0, 0x8C, 0x25, 0x00, 0x96, 0x06, 0x01, 0, 0}));
  const uint8_t in[] = {0x03, 0x0C, 0x00};
  const Bytes ioctl = BuildDevchanIoctl(9, IOCTL_BTFTM_SEND_HCI_CMD, 4, in, sizeof in);
  ASSERT_EQ(ioctl.size(), 19u);
  EXPECT_EQ(Bytes(ioctl.begin() + 16, ioctl.end()), Bytes(in, in + 3));
  EXPECT_EQ(BuildDevchanCancel(0), (Bytes{2, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(Devchan, ServerParsesWhatTheClientBuilds) {
  const uint8_t in[] = {0x03, 0x0C, 0x00};
  Bytes m = BuildDevchanIoctl(7, IOCTL_BTFTM_SEND_HCI_CMD, 0, in, sizeof in);
  DevchanRequest r;
  ASSERT_EQ(ParseDevchanRequest(m.data(), m.size(), &r), DevchanParseResult::Ok);
  EXPECT_EQ(r.kind, kMsgIoctl);
  EXPECT_EQ(r.id, 7u);
  EXPECT_EQ(r.code, IOCTL_BTFTM_SEND_HCI_CMD);
  EXPECT_EQ(r.inLen, 3u);
  EXPECT_EQ(r.in, m.data() + 16);

  // A CANCEL may name id 0 (every pending request); an IOCTL may not.
  const Bytes cancelAll = BuildDevchanCancel(0);
  ASSERT_EQ(ParseDevchanRequest(cancelAll.data(), cancelAll.size(), &r), DevchanParseResult::Ok);
  EXPECT_EQ(r.kind, kMsgCancel);
  m[4] = 0;
  EXPECT_EQ(ParseDevchanRequest(m.data(), m.size(), &r), DevchanParseResult::ZeroId);
}

TEST(Devchan, ServerRejectsShortAndUnknownMessages) {
  const uint8_t ioctlHeaderOnly[12] = {1, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0};
  const uint8_t reply[8] = {0x81, 0, 0, 0, 1, 0, 0, 0};
  const struct {
    const uint8_t* data;
    size_t size;
    DevchanParseResult result;
  } cases[] = {
      {ioctlHeaderOnly, 12, DevchanParseResult::TooShort},
      {ioctlHeaderOnly, 7, DevchanParseResult::TooShort},
      {nullptr, 0, DevchanParseResult::TooShort},
      {reply, 8, DevchanParseResult::UnknownKind},
  };
  for (const auto& c : cases) {
    DevchanRequest r;
    EXPECT_EQ(ParseDevchanRequest(c.data, c.size, &r), c.result) << c.size;
  }
}

TEST(Devchan, RandomMessagesNeverReadOutOfBounds) {
  std::mt19937 rng(1234);
  for (int i = 0; i < 20000; ++i) {
    Bytes m(rng() % 40);
    for (auto& b : m) b = uint8_t(rng() % 4 == 0 ? rng() : rng() % 3);
    DevchanRequest r;
    if (ParseDevchanRequest(m.data(), m.size(), &r) == DevchanParseResult::Ok && r.kind == kMsgIoctl) {
      ASSERT_EQ(r.inLen + 16, m.size());
      ASSERT_NE(r.id, 0u);
    }
    DevchanReply reply;
    if (ParseDevchanReply(m.data(), m.size(), &reply) && reply.kind == kMsgComplete) {
      ASSERT_EQ(reply.payloadSize + 16, m.size());
    }
  }
}

TEST(Devchan, ClientParsesWhatTheServerBuilds) {
  const uint8_t ev[] = {0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00};
  const Bytes c = BuildDevchanComplete(7, kStatusAborted, ev, sizeof ev);
  ASSERT_EQ(c.size(), 22u);
  EXPECT_EQ(Bytes(c.begin(), c.begin() + 16), (Bytes{0x81, 0, 0, 0, 7, 0, 0, 0, 0xE3, 0x03, 0, 0, 0, 0, 0, 0}));
  DevchanReply reply;
  ASSERT_TRUE(ParseDevchanReply(c.data(), c.size(), &reply));
  EXPECT_EQ(reply.kind, kMsgComplete);
  EXPECT_EQ(reply.status, kStatusAborted);
  EXPECT_EQ(Bytes(reply.payload, reply.payload + reply.payloadSize), Bytes(ev, ev + 6));

  const Bytes p = BuildDevchanPending(9);
  EXPECT_EQ(p, (Bytes{0x82, 0, 0, 0, 9, 0, 0, 0}));
  ASSERT_TRUE(ParseDevchanReply(p.data(), p.size(), &reply));
  EXPECT_EQ(reply.kind, kMsgPending);
  EXPECT_EQ(reply.id, 9u);

  // A COMPLETE without its status word, a request, an unknown kind: none is a reply.
  for (const Bytes& bad : {Bytes(c.begin(), c.begin() + 12), BuildDevchanCancel(9), Bytes{0x83, 0, 0, 0, 9, 0, 0, 0}})
    EXPECT_FALSE(ParseDevchanReply(bad.data(), bad.size(), &reply)) << bad.size();
}

TEST(Devchan, TcpFormFramesEveryMessageBehindItsLength) {
  const Bytes pending = BuildDevchanPending(3);
  Bytes stream = FrameDevchanMessage(pending);
  EXPECT_EQ(Bytes(stream.begin(), stream.begin() + 4), (Bytes{8, 0, 0, 0}));
  stream.push_back(0xFF);  // the first byte of a length that announces too much
  stream.insert(stream.end(), {0xFF, 0xFF, 0xFF});
  size_t len = 0;
  for (size_t cut = 0; cut < 4 + pending.size(); ++cut)
    EXPECT_EQ(NextDevchanFrame(stream.data(), cut, kMaxMessage, &len), DevchanFrame::NeedMore) << cut;
  ASSERT_EQ(NextDevchanFrame(stream.data(), stream.size(), kMaxMessage, &len), DevchanFrame::Message);
  EXPECT_EQ(Bytes(stream.begin() + 4, stream.begin() + 4 + long(len)), pending);
  EXPECT_EQ(NextDevchanFrame(stream.data() + 12, 4, kMaxMessage, &len), DevchanFrame::TooLong);
  EXPECT_EQ(NextDevchanFrame(stream.data(), 12, 7, &len), DevchanFrame::TooLong);
}
