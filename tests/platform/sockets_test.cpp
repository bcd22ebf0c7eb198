// Windows Sockets over BSD sockets: start-up, errors and waking blocked calls.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/platform.h"
#include "thread_state.h"
#include "wait_until.h"

namespace {

SOCKET ListenOnLoopback(uint16_t* port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(s, 1) != 0) return INVALID_SOCKET;
  socklen_t length = sizeof(address);
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return s;
}

SOCKET ConnectTo(uint16_t port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return INVALID_SOCKET;
  return s;
}

class Sockets : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(data.wVersion, 0x0202);
  }
  void TearDown() override { EXPECT_EQ(WSACleanup(), 0); }
};

}  // namespace

TEST_F(Sockets, SendToAGonePeerFailsWithAnErrorInsteadOfEndingTheProcess) {
  struct sigaction current;
  sigaction(SIGPIPE, nullptr, &current);
  EXPECT_EQ(current.sa_handler, SIG_IGN);

  uint16_t port = 0;
  SOCKET listener = ListenOnLoopback(&port);
  ASSERT_NE(listener, INVALID_SOCKET);
  SOCKET client = ConnectTo(port);
  ASSERT_NE(client, INVALID_SOCKET);
  SOCKET server = accept(listener, nullptr, nullptr);
  ASSERT_NE(server, INVALID_SOCKET);
  EXPECT_EQ(closesocket(server), 0);
  char data[1024] = {};
  int result = 0;
  for (int i = 0; i < 100 && result != SOCKET_ERROR; ++i) result = send(client, data, sizeof(data), 0);
  EXPECT_EQ(result, SOCKET_ERROR);
  int error = WSAGetLastError();
  EXPECT_TRUE(error == EPIPE || error == WSAECONNRESET) << error;
  EXPECT_EQ(closesocket(client), 0);
  EXPECT_EQ(closesocket(client), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), EBADF);
  closesocket(listener);
}

TEST_F(Sockets, ShutdownWakesAThreadBlockedInAccept) {
  uint16_t port = 0;
  SOCKET listener = ListenOnLoopback(&port);
  ASSERT_NE(listener, INVALID_SOCKET);
  std::atomic<pid_t> waiter{0};
  auto accepted = std::async(std::launch::async, [listener, &waiter] {
    waiter = tarnexio_test::CurrentThreadId();
    return accept(listener, nullptr, nullptr);
  });
  ASSERT_TRUE(WaitUntil([&] { return waiter.load() != 0; }));
  ASSERT_TRUE(tarnexio_test::WaitThreadBlocked(waiter.load()));
  shutdown(listener, SD_BOTH);
  ASSERT_EQ(accepted.wait_for(tarnexio_test::Scaled(std::chrono::seconds(5))), std::future_status::ready);
  EXPECT_EQ(accepted.get(), INVALID_SOCKET);
  closesocket(listener);
}

TEST_F(Sockets, ShutdownWakesAThreadBlockedInRecv) {
  uint16_t port = 0;
  SOCKET listener = ListenOnLoopback(&port);
  SOCKET client = ConnectTo(port);
  ASSERT_NE(client, INVALID_SOCKET);
  SOCKET server = accept(listener, nullptr, nullptr);
  std::atomic<pid_t> waiter{0};
  auto received = std::async(std::launch::async, [server, &waiter] {
    char buffer[16];
    waiter = tarnexio_test::CurrentThreadId();
    return recv(server, buffer, sizeof(buffer), 0);
  });
  ASSERT_TRUE(WaitUntil([&] { return waiter.load() != 0; }));
  ASSERT_TRUE(tarnexio_test::WaitThreadBlocked(waiter.load()));
  shutdown(server, SD_BOTH);
  ASSERT_EQ(received.wait_for(tarnexio_test::Scaled(std::chrono::seconds(5))), std::future_status::ready);
  EXPECT_LE(received.get(), 0);
  closesocket(server);
  closesocket(client);
  closesocket(listener);
}
