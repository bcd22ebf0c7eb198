// The one sender to the test host: every send that does not put the whole packet on the
// connection is counted as a packet not sent.
#include "core/host_send.h"
#include "recorders.h"

#include <gtest/gtest.h>

namespace {

TEST(HostSend, EverySendThatFallsShortIsCountedNotSent) {
  // What the connection does with the 7 bytes: all out, no test host, the first send
  // failed, a send failed part way, one byte short.
  const int results[] = {0, HOST_SEND_NO_SOCKET, HOST_SEND_FAILED, 3, 6};
  const BYTE packet[7] = {0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00};
  for (int result : results) {
    DropCounts drops;
    HostSendRecorder host;
    host.sender()->drops = &drops;
    host.FailWith(result);
    EXPECT_EQ(SendToTestHost(host.sender(), packet, 7), result == 0 ? 7 : result);
    EXPECT_EQ(drops.byCause[DROP_NOT_SENT].load(), result == 0 ? 0u : 1u) << result;
    uint64_t all = 0;
    for (const auto& count : drops.byCause) all += count.load();
    EXPECT_EQ(all, drops.byCause[DROP_NOT_SENT].load()) << "counted under another cause";
  }
  // Without a seam and without a connection nothing is sent, and that is counted too.
  DropCounts drops;
  HostSender host;
  host.drops = &drops;
  EXPECT_EQ(SendToTestHost(&host, packet, 7), HOST_SEND_NO_SOCKET);
  EXPECT_EQ(drops.byCause[DROP_NOT_SENT].load(), 1u);
}

}  // namespace
