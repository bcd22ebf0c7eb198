// The one sender to the test host: every send that does not put the whole packet on the
// connection is counted as a packet not sent, whoever sends it.
#include "core/host_send.h"
#include "recorders.h"

#include <gtest/gtest.h>

namespace {

TEST(HostSend, EverySendThatFallsShortIsCountedNotSent) {
  const struct {
    int result;        // what the connection does with the 7 bytes
    uint64_t notSent;  // counted for it
  } cases[] = {
      {0, 0},                    // all went out
      {HOST_SEND_NO_SOCKET, 1},  // no test host
      {HOST_SEND_FAILED, 1},     // the first send failed
      {3, 1},                    // a send failed part way
      {6, 1},                    // ... one byte short
  };
  const BYTE packet[7] = {0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00};
  for (const auto& c : cases) {
    DropCounts drops;
    HostSendRecorder host;
    host.sender()->drops = &drops;
    host.FailWith(c.result);
    const int sent = SendToTestHost(host.sender(), packet, 7);
    EXPECT_EQ(sent, c.result == 0 ? 7 : c.result);
    EXPECT_EQ(drops.byCause[DROP_NOT_SENT].load(), c.notSent) << c.result;
    for (int cause = 0; cause < DROP_CAUSE_COUNT; ++cause) {
      if (cause != DROP_NOT_SENT) {
        EXPECT_EQ(drops.byCause[cause].load(), 0u) << cause;
      }
    }
  }
}

// Without a seam and without a connection nothing is sent, and that is counted too; a
// sender without counts still answers.
TEST(HostSend, NoConnectionIsCountedNotSent) {
  DropCounts drops;
  HostSender host;
  host.drops = &drops;
  const BYTE packet[3] = {0x02, 0x01, 0x20};
  EXPECT_EQ(SendToTestHost(&host, packet, 3), HOST_SEND_NO_SOCKET);
  EXPECT_EQ(SendToTestHost(&host, packet, 3), HOST_SEND_NO_SOCKET);
  EXPECT_EQ(drops.byCause[DROP_NOT_SENT].load(), 2u);
  host.drops = nullptr;
  EXPECT_EQ(SendToTestHost(&host, packet, 3), HOST_SEND_NO_SOCKET);
}

}  // namespace
