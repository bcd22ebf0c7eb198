#include <gtest/gtest.h>

#include <random>

#include "driver/ioctl.h"
#include "requests.h"

using namespace ftmd;

TEST(Requests, ControlCodesAgreeWithTheBridge) {
  EXPECT_EQ(kReadEvent, IOCTL_BTFTM_READ_EVENT);
  EXPECT_EQ(kReadEvent, 0x9600258Cu);
  EXPECT_EQ(kSendHciCmd, IOCTL_BTFTM_SEND_HCI_CMD);
  EXPECT_EQ(kEnableFtm, IOCTL_BTFTM_ENABLE_FTM);
  EXPECT_EQ(kSendAcl, IOCTL_BTFTM_SEND_ACL);
  EXPECT_EQ(kReadAcl, IOCTL_BTFTM_READ_ACL);
  EXPECT_EQ(kSendSco, IOCTL_BTFTM_SEND_SCO);
  EXPECT_EQ(kReadSco, IOCTL_BTFTM_READ_SCO);
  EXPECT_EQ(kSelectScoInf, IOCTL_BTFTM_SELECT_SCO_INF);
  EXPECT_EQ(kSelectScoInf, 0x960025A8u);
}

TEST(Requests, ParsesIoctlAndCancel) {
  Bytes m;
  for (uint32_t v : {1u, 7u, uint32_t(kSendHciCmd), 0u}) putLe32(m, v);
  m.insert(m.end(), {0x03, 0x0C, 0x00});
  Request r;
  ASSERT_EQ(parseRequest(m.data(), m.size(), r), ParseResult::Ok);
  EXPECT_EQ(r.id, 7u);
  EXPECT_EQ(r.code, kSendHciCmd);
  EXPECT_EQ(r.inLen, 3u);
  EXPECT_EQ(r.in, m.data() + 16);

  // A CANCEL may name id 0 (every pending request); an IOCTL may not.
  const uint8_t cancelAll[8] = {2, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(parseRequest(cancelAll, 8, r), ParseResult::Ok);
  EXPECT_EQ(r.kind, kMsgCancel);
  m[4] = 0;
  EXPECT_EQ(parseRequest(m.data(), m.size(), r), ParseResult::ZeroId);
}

TEST(Requests, RejectsShortAndUnknownDatagrams) {
  Request r;
  const uint8_t ioctlHeaderOnly[12] = {1, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(parseRequest(ioctlHeaderOnly, 12, r), ParseResult::TooShort);
  EXPECT_EQ(parseRequest(ioctlHeaderOnly, 7, r), ParseResult::TooShort);
  EXPECT_EQ(parseRequest(nullptr, 0, r), ParseResult::TooShort);
  const uint8_t reply[8] = {0x81, 0, 0, 0, 1, 0, 0, 0};
  EXPECT_EQ(parseRequest(reply, 8, r), ParseResult::UnknownKind);
}

TEST(Requests, RandomDatagramsNeverReadOutOfBounds) {
  std::mt19937 rng(1234);
  Request r;
  for (int i = 0; i < 20000; ++i) {
    Bytes m(rng() % 40);
    for (auto& b : m) b = uint8_t(rng() % 4 == 0 ? rng() : rng() % 3);
    if (parseRequest(m.data(), m.size(), r) == ParseResult::Ok && r.kind == kMsgIoctl) {
      ASSERT_EQ(r.inLen + 16, m.size());
      ASSERT_NE(r.id, 0u);
    }
  }
}

TEST(Requests, RepliesHaveTheChannelLayout) {
  const uint8_t ev[] = {0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00};
  Bytes c = makeComplete(7, 0, ev, sizeof ev);
  ASSERT_EQ(c.size(), 22u);
  EXPECT_EQ(le32(c.data()), 0x81u);
  EXPECT_EQ(le32(c.data() + 4), 7u);
  EXPECT_EQ(le32(c.data() + 8), 0u);
  EXPECT_EQ(le32(c.data() + 12), 0u);
  EXPECT_EQ(Bytes(c.begin() + 16, c.end()), Bytes(ev, ev + 6));
  EXPECT_EQ(makePending(9), (Bytes{0x82, 0, 0, 0, 9, 0, 0, 0}));
}
