// The waits the other tests build on: they must hold only when the other side really is
// where the test needs it, or the tests that use them pass for nothing.
#include "tcp_queues.h"
#include "thread_state.h"
#include "wait_until.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>

namespace {

using namespace tarnexio_test;

TEST(Waits, PeerHasReadAllOnlyOnceTheBytesAreRead) {
  // A loopback listener on a port the system picks.
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  socklen_t length = sizeof address;
  ASSERT_TRUE(bind(listener, (sockaddr*)&address, length) == 0 && listen(listener, 1) == 0 &&
              getsockname(listener, (sockaddr*)&address, &length) == 0);
  int client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(client, (sockaddr*)&address, sizeof address), 0);
  int server = accept(listener, nullptr, nullptr);
  ASSERT_GE(server, 0);

  EXPECT_TRUE(PeerHasReadAll(client));  // nothing sent yet
  ASSERT_EQ(send(client, "abc", 3, 0), 3);
  // The bytes sit unread at the server: the wait must not be satisfied.
  EXPECT_FALSE(WaitPeerHasReadAll(client, 100));
  char buffer[3];
  ASSERT_EQ(recv(server, buffer, 2, 0), 2);
  EXPECT_FALSE(PeerHasReadAll(client));
  ASSERT_EQ(recv(server, buffer, 1, 0), 1);
  EXPECT_TRUE(WaitPeerHasReadAll(client));
  EXPECT_FALSE(PeerHasReadAll(listener));  // not a connection
  close(server);
  close(client);
  close(listener);
}

TEST(Waits, ThreadIsBlockedOnlyWhileItWaits) {
  std::mutex gate;
  std::unique_lock<std::mutex> held(gate);
  std::atomic<pid_t> thread{0};
  std::atomic<bool> spin{true};
  auto waiter = std::async(std::launch::async, [&] {
    thread = CurrentThreadId();
    while (spin) {
    }
    std::lock_guard<std::mutex> lock(gate);
  });
  ASSERT_TRUE(WaitUntil([&] { return thread.load() != 0; }));
  EXPECT_FALSE(ThreadIsBlocked(getpid(), thread.load()));  // running, never asleep
  spin = false;
  EXPECT_TRUE(WaitThreadBlocked(thread.load()));
  held.unlock();
  waiter.get();
  EXPECT_FALSE(ThreadIsBlocked(getpid(), thread.load()));  // gone
}

}  // namespace
