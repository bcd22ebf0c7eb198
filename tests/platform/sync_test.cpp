// Last error, events, threads and the handle table.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/platform.h"
#include "thread_state.h"
#include "wait_until.h"

TEST(LastError, IsKeptPerThread) {
  SetLastError(5);
  DWORD seenByOther = 1;
  std::thread([&] {
    seenByOther = GetLastError();
    SetLastError(7);
  }).join();
  EXPECT_EQ(seenByOther, 0u);
  EXPECT_EQ(GetLastError(), 5u);
}

TEST(Events, ManualResetStaysSignalledUntilReset) {
  HANDLE e = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(e));
  EXPECT_EQ(WaitForSingleObject(e, 20), WAIT_TIMEOUT);
  auto waiter = std::async(std::launch::async, [e] { return WaitForSingleObject(e, INFINITE); });
  EXPECT_TRUE(SetEvent(e));
  ASSERT_EQ(waiter.wait_for(tarnexio_test::Scaled(std::chrono::seconds(5))), std::future_status::ready);
  EXPECT_EQ(waiter.get(), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(e));
}

TEST(Events, AutoResetReleasesOneWait) {
  HANDLE e = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
  CloseHandle(e);
}

// Each SetEvent of an auto-reset event releases exactly one of the threads that wait on it,
// an unbounded wait and a timed one alike; the other keeps waiting and the event is left
// reset, never signalled for a third wait.
TEST(Events, AutoResetReleasesOneOfTwoWaitersPerSet) {
  HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(e, nullptr);
  std::future<DWORD> waiters[] = {
      std::async(std::launch::async, [e] { return WaitForSingleObject(e, INFINITE); }),
      std::async(std::launch::async, [e] { return WaitForSingleObject(e, tarnexio_test::ScaledMs(60000)); }),
  };
  // On a failed assertion the waiters still waiting are let go, so the test ends.
  struct LetGo {
    HANDLE e;
    ~LetGo() {
      SetEvent(e);
      SetEvent(e);
      CloseHandle(e);
    }
  } letGo{e};
  auto released = [&] {
    int n = 0;
    for (auto& w : waiters) n += w.valid() && w.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    return n;
  };
  for (int set = 1; set <= 2; ++set) {
    EXPECT_TRUE(SetEvent(e));
    ASSERT_TRUE(WaitUntil([&] { return released() >= set; })) << "set " << set;
    EXPECT_EQ(released(), set) << "set " << set;
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT) << "set " << set;
  }
  for (auto& w : waiters) EXPECT_EQ(w.get(), WAIT_OBJECT_0);
}

TEST(Handles, ClosedAndInvalidHandlesFailAndValuesAreNotReused) {
  HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(e));
  HANDLE again = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_NE(again, e);
  for (HANDLE bad : {e, HANDLE(nullptr), INVALID_HANDLE_VALUE}) {
    SetLastError(0);
    EXPECT_FALSE(SetEvent(bad));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(ResetEvent(bad));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(bad));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  }
  CloseHandle(again);
}

TEST(Handles, ClosingAnEventWhileAnotherThreadWaitsOnIt) {
  HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<pid_t> thread{0};
  auto waiter = std::async(std::launch::async, [&] {
    thread = tarnexio_test::CurrentThreadId();
    return WaitForSingleObject(e, tarnexio_test::ScaledMs(1000));
  });
  ASSERT_TRUE(WaitUntil([&] { return thread.load() != 0; }));
  ASSERT_TRUE(tarnexio_test::WaitThreadBlocked(thread.load()));
  ASSERT_TRUE(CloseHandle(e));
  // The waiter keeps waiting on the object it holds and sees its time run out.
  ASSERT_EQ(waiter.wait_for(tarnexio_test::Scaled(std::chrono::seconds(5))), std::future_status::ready);
  EXPECT_EQ(waiter.get(), WAIT_TIMEOUT);
}

namespace {

struct Gate {
  HANDLE go;
  std::atomic<int> ran{0};
};

DWORD WINAPI GatedRoutine(LPVOID parameter) {
  auto* gate = static_cast<Gate*>(parameter);
  WaitForSingleObject(gate->go, tarnexio_test::ScaledMs(5000));
  gate->ran = 1;
  return 0;
}

}  // namespace

TEST(Threads, WaitOnThreadHandleEndsWhenTheRoutineReturns) {
  Gate gate;
  gate.go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD id = 0;
  HANDLE t = CreateThread(nullptr, 0, GatedRoutine, &gate, 0, &id);
  ASSERT_NE(t, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(WaitForSingleObject(t, 20), WAIT_TIMEOUT);
  SetEvent(gate.go);
  EXPECT_EQ(WaitForSingleObject(t, tarnexio_test::ScaledMs(5000)), WAIT_OBJECT_0);
  EXPECT_EQ(gate.ran.load(), 1);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);
  CloseHandle(t);
  CloseHandle(gate.go);
}

TEST(Threads, ClosingTheHandleDoesNotStopTheThread) {
  static Gate gate;
  gate.go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  static HANDLE s_done;
  s_done = done;
  HANDLE t = CreateThread(
      nullptr, 0,
      [](LPVOID) -> DWORD {
        GatedRoutine(&gate);
        SetEvent(s_done);
        return 0;
      },
      nullptr, 0, nullptr);
  ASSERT_TRUE(CloseHandle(t));
  SetEvent(gate.go);
  EXPECT_EQ(WaitForSingleObject(done, tarnexio_test::ScaledMs(5000)), WAIT_OBJECT_0);
  EXPECT_EQ(gate.ran.load(), 1);
  CloseHandle(done);
  CloseHandle(gate.go);
}
