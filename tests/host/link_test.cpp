// The test host's connection against a peer of the test's own on loopback: the buffered
// receives take whole packets and frames however the peer cuts them, leave what follows
// for the next receive, and end on timeout or close.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link.h"

using namespace host;

namespace {

// A listening socket on a free loopback port, and the one connection it accepts.
struct Peer {
  Peer() {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    if (bind(listener, (sockaddr*)&addr, sizeof addr) == 0 && listen(listener, 1) == 0 &&
        getsockname(listener, (sockaddr*)&addr, &size) == 0)
      port = ntohs(addr.sin_port);
  }
  ~Peer() {
    if (fd >= 0) close(fd);
    close(listener);
  }
  bool Accept() { return (fd = accept(listener, nullptr, nullptr)) >= 0; }
  void Send(const Bytes& b) { ASSERT_EQ(send(fd, b.data(), b.size(), MSG_NOSIGNAL), (ssize_t)b.size()); }
  int listener = -1, fd = -1, port = 0;
};

TEST(TestHostLink, BufferedReceivesTakeWholeItemsInAnyCutAndLeaveTheRest) {
  Peer peer;
  ASSERT_NE(peer.port, 0);
  Link link;
  ASSERT_TRUE(link.ConnectLoopback(peer.port, 5000));
  ASSERT_TRUE(peer.Accept());

  // An event cut inside its header, a stray byte, an ACL packet and a frame in one piece.
  peer.Send({0x04, 0x0E});
  Bytes got;
  EXPECT_EQ(link.ReceiveH4(&got, 50), Link::H4Got::NOTHING);  // not whole yet: nothing taken
  peer.Send({0x04, 0x01, 0x03, 0x0C, 0x00, 0x99, 0x02, 0x01, 0x00, 0x02, 0x00, 0xAA, 0xBB, 0x10, 0x7D, 0x5E, 0x7E, 0x42});
  ASSERT_EQ(link.ReceiveH4(&got, 5000), Link::H4Got::PACKET);
  EXPECT_EQ(got, Bytes({0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00}));
  ASSERT_EQ(link.ReceiveH4(&got, 5000), Link::H4Got::STRAY);
  EXPECT_EQ(got, Bytes({0x99}));
  ASSERT_EQ(link.ReceiveH4(&got, 5000), Link::H4Got::PACKET);
  EXPECT_EQ(got, Bytes({0x02, 0x01, 0x00, 0x02, 0x00, 0xAA, 0xBB}));
  ASSERT_TRUE(link.ReceiveFrame(&got, 5000));
  EXPECT_EQ(got, Bytes({0x10, 0x7D, 0x5E, 0x7E}));

  // What a buffered receive left comes first, also through the unbuffered receive.
  uint8_t buffer[8];
  std::string error;
  ASSERT_EQ(link.Receive(buffer, sizeof buffer, 5000, &error), 1);
  EXPECT_EQ(buffer[0], 0x42);

  // A frame in three pieces, and exactly n bytes over two sends.
  peer.Send({0x00, 0x01});
  peer.Send({0x02});
  peer.Send({0x7E, 0x05, 0x06});
  ASSERT_TRUE(link.ReceiveFrame(&got, 5000));
  EXPECT_EQ(got, Bytes({0x00, 0x01, 0x02, 0x7E}));
  peer.Send({0x07});
  EXPECT_EQ(link.ReceiveBytes(3, 5000), Bytes({0x05, 0x06, 0x07}));
  EXPECT_TRUE(link.Quiet(50));

  // The peer goes: every receive ends at once, whatever its time.
  peer.Send({0x04});
  close(peer.fd);
  peer.fd = -1;
  EXPECT_EQ(link.ReceiveH4(&got, 60000), Link::H4Got::NOTHING);
  EXPECT_FALSE(link.ReceiveFrame(&got, 60000));
  EXPECT_FALSE(link.error().empty());
}

TEST(TestHostLink, ConnectingToAPortNobodyListensOnFailsInTime) {
  int port = 0;
  {
    Peer gone;  // bound and closed: nobody listens there now
    port = gone.port;
  }
  Link link;
  EXPECT_FALSE(link.ConnectLoopback(port, 100));
  EXPECT_FALSE(link.connected());
  EXPECT_NE(link.error().find("cannot connect"), std::string::npos);
}

}  // namespace
