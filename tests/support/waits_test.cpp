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

namespace {

TEST(Waits, TheTimeScaleTakesOnlyAPositiveNumber) {
  struct Case {
    const char* text;
    double scale;
    bool valid;
  };
  const Case cases[] = {
      {nullptr, 1, true}, {"", 1, true},      {"3", 3, true},     {"0.5", 0.5, true}, {"2.5", 2.5, true},
      {"0", 1, false},    {"-2", 1, false},   {"abc", 1, false},  {"3x", 1, false},   {"nan", 1, false},
      {"inf", 1, false},  {"1e9", 1, false},  {" 3", 3, true},
  };
  for (const Case& c : cases) {
    const char* why = nullptr;
    EXPECT_DOUBLE_EQ(tarnexio_test::ParseTimeScale(c.text, &why), c.scale) << (c.text ? c.text : "(unset)");
    EXPECT_EQ(why == nullptr, c.valid) << (c.text ? c.text : "(unset)");
  }
}

TEST(Waits, ScaledTimeoutsAreRoundedUpAndZeroStaysZero) {
  using tarnexio_test::Millis;
  const double scale = tarnexio_test::TimeScale();
  EXPECT_GT(scale, 0);
  EXPECT_EQ(tarnexio_test::Scaled(Millis(0)), Millis(0));
  EXPECT_EQ(tarnexio_test::Scaled(Millis(-1)), Millis(-1));
  EXPECT_GE(tarnexio_test::Scaled(Millis(1)).count(), 1);
  EXPECT_GE((double)tarnexio_test::Scaled(Millis(1000)).count(), 1000 * scale);
  EXPECT_LT((double)tarnexio_test::Scaled(Millis(1000)).count(), 1000 * scale + 1);
}

}  // namespace
