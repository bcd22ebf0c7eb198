// DeviceIoControl, GetOverlappedResult and CancelIoEx against a scripted device server.
#include <atomic>
#include <cstring>
#include <future>
#include <thread>

#include "device_test_util.h"
#include "thread_state.h"
#include "test_time.h"

using tarnexio_test::DeviceAction;
using tarnexio_test::DeviceRequest;

TEST_P(DeviceTest, CompleteAtOnceCopiesOutputFillsOverlappedAndSignalsEvent) {
  server_->SetScript([](const DeviceRequest&) { return DeviceAction::Complete(0, {0x0E, 0x04, 0x01}); });
  BYTE in[2] = {0x03, 0x0C};
  BYTE out[16] = {};
  DWORD n = 99;
  ASSERT_TRUE(DeviceIoControl(device_, 0x9600258C, in, sizeof(in), out, sizeof(out), &n, &ov_));
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(out[0], 0x0E);
  EXPECT_EQ(out[2], 0x01);
  EXPECT_EQ(out[3], 0x00);
  EXPECT_TRUE(EventSignalled());
  DWORD got = 0;
  EXPECT_TRUE(GetOverlappedResult(device_, &ov_, &got, FALSE));
  EXPECT_EQ(got, 3u);

  // The synchronous form on the same handle.
  ASSERT_TRUE(DeviceIoControl(device_, 0x96002590, nullptr, 0, out, 4, &n, nullptr));
  EXPECT_EQ(n, 3u);

  auto requests = server_->Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].code, 0x9600258Cu);
  EXPECT_EQ(requests[0].outSize, 16u);
  EXPECT_EQ(requests[0].input, std::vector<uint8_t>({0x03, 0x0C}));
  EXPECT_EQ(requests[1].outSize, 4u);
  EXPECT_TRUE(requests[1].input.empty());
  EXPECT_NE(requests[0].id, 0u);
  EXPECT_NE(requests[0].id, requests[1].id);
}

TEST_P(DeviceTest, ImmediateErrorReturnsStatusAndLeavesEventUnsignalled) {
  SetEvent(event_);  // a new request resets it
  server_->SetScript([](const DeviceRequest&) { return DeviceAction::Complete(31); });
  BYTE out[4];
  DWORD n = 0;
  EXPECT_FALSE(DeviceIoControl(device_, 1, nullptr, 0, out, sizeof(out), &n, &ov_));
  EXPECT_EQ(GetLastError(), 31u);
  EXPECT_FALSE(EventSignalled());
  EXPECT_FALSE(DeviceIoControl(device_, 1, nullptr, 0, out, sizeof(out), &n, nullptr));
  EXPECT_EQ(GetLastError(), 31u);
}

TEST_P(DeviceTest, PendingThenCompleteFillsCallerBufferLater) {
  server_->SetScript([](const DeviceRequest&) { return DeviceAction::Pending(); });
  BYTE out[8] = {};
  DWORD n = 0;
  SetEvent(event_);
  ASSERT_FALSE(DeviceIoControl(device_, 7, nullptr, 0, out, sizeof(out), &n, &ov_));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  EXPECT_EQ(ov_.Internal, ULONG_PTR(STATUS_PENDING));
  EXPECT_FALSE(EventSignalled());
  EXPECT_FALSE(GetOverlappedResult(device_, &ov_, &n, FALSE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_INCOMPLETE));

  uint32_t id = PendingId(1);
  // GetOverlappedResult with bWait TRUE waits for the completion sent meanwhile.
  const pid_t self = tarnexio_test::CurrentThreadId();
  auto completer = std::async(std::launch::async, [&] {
    // Completes once this thread waits in GetOverlappedResult.
    EXPECT_TRUE(tarnexio_test::WaitThreadBlocked(self));
    return server_->CompletePending(id, 0, {5, 6, 7, 8, 9});
  });
  DWORD got = 0;
  EXPECT_TRUE(GetOverlappedResult(device_, &ov_, &got, TRUE));
  EXPECT_TRUE(completer.get());
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(std::memcmp(out, "\x05\x06\x07\x08\x09\x00", 6), 0);
  EXPECT_TRUE(EventSignalled());

  // A later completion with an error: the event is signalled and the result is the error.
  ResetEvent(event_);
  ASSERT_FALSE(DeviceIoControl(device_, 7, nullptr, 0, out, sizeof(out), &n, &ov_));
  ASSERT_TRUE(server_->CompletePending(PendingId(2), 1167));
  ASSERT_EQ(WaitForSingleObject(event_, tarnexio_test::ScaledMs(5000)), WAIT_OBJECT_0);
  EXPECT_FALSE(GetOverlappedResult(device_, &ov_, &got, TRUE));
  EXPECT_EQ(GetLastError(), 1167u);
}

TEST_P(DeviceTest, SynchronousFormThatGoesPendingDiscardsTheLaterCompletion) {
  server_->SetScript([](const DeviceRequest& r) {
    return r.code == 1 ? DeviceAction::Pending() : DeviceAction::Complete(0, {1});
  });
  BYTE out[8];
  std::memset(out, 0xAA, sizeof(out));
  DWORD n = 0;
  EXPECT_FALSE(DeviceIoControl(device_, 1, nullptr, 0, out, sizeof(out), &n, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  ASSERT_TRUE(server_->CompletePending(PendingId(1), 0, {1, 2, 3, 4}));
  // Replies are handled in order, so once this one is back the discarded one was seen.
  BYTE other[1];
  ASSERT_TRUE(DeviceIoControl(device_, 2, nullptr, 0, other, sizeof(other), &n, nullptr));
  for (BYTE b : out) EXPECT_EQ(b, 0xAA);
}

TEST_P(DeviceTest, CancelAllSendsIdZeroAndRequestsCompleteWithAborted) {
  server_->SetScript([](const DeviceRequest&) { return DeviceAction::Pending(); });
  HANDLE event2 = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED ov2 = OVERLAPPED();
  ov2.hEvent = event2;
  BYTE out1[4];
  BYTE out2[4];
  DWORD n;
  ASSERT_FALSE(DeviceIoControl(device_, 1, nullptr, 0, out1, 4, &n, &ov_));
  ASSERT_FALSE(DeviceIoControl(device_, 2, nullptr, 0, out2, 4, &n, &ov2));
  EXPECT_TRUE(CancelIoEx(device_, nullptr));
  EXPECT_FALSE(GetOverlappedResult(device_, &ov_, &n, TRUE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
  EXPECT_FALSE(GetOverlappedResult(device_, &ov2, &n, TRUE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(WaitForSingleObject(event2, 0), WAIT_OBJECT_0);
  auto cancels = server_->Cancels();
  ASSERT_EQ(cancels.size(), 1u);
  EXPECT_EQ(cancels[0].id, 0u);
  CloseHandle(event2);
}

TEST_P(DeviceTest, CancelOneRequestNamesItsId) {
  server_->SetScript([](const DeviceRequest&) { return DeviceAction::Pending(); });
  OVERLAPPED ov2 = OVERLAPPED();
  BYTE out[4];
  DWORD n;
  ASSERT_FALSE(DeviceIoControl(device_, 1, nullptr, 0, out, 4, &n, &ov_));
  ASSERT_FALSE(DeviceIoControl(device_, 2, nullptr, 0, out, 4, &n, &ov2));
  uint32_t second = PendingId(2);
  EXPECT_TRUE(CancelIoEx(device_, &ov2));
  EXPECT_FALSE(GetOverlappedResult(device_, &ov2, &n, TRUE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
  EXPECT_FALSE(GetOverlappedResult(device_, &ov_, &n, FALSE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_INCOMPLETE));
  ASSERT_EQ(server_->Cancels().size(), 1u);
  EXPECT_EQ(server_->Cancels()[0].id, second);
  // An OVERLAPPED that is not in flight cannot be cancelled.
  OVERLAPPED idle = OVERLAPPED();
  EXPECT_FALSE(CancelIoEx(device_, &idle));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_FOUND));
}

TEST_P(DeviceTest, MalformedRepliesAreIgnoredAndLongOutputIsTruncated) {
  using tarnexio_test::CompleteDatagram;
  using tarnexio_test::PendingDatagram;
  server_->SetScript([](const DeviceRequest& r) {
    std::vector<uint8_t> unknownKind = CompleteDatagram(r.id, 0, {1, 2});
    unknownKind[0] = 0x99;
    std::vector<uint8_t> shortComplete = CompleteDatagram(r.id, 0);
    shortComplete.resize(12);
    return DeviceAction::Raw({{},
                              {0x81, 0, 0},
                              unknownKind,
                              shortComplete,
                              CompleteDatagram(r.id + 1000, 0, {7}),
                              PendingDatagram(r.id + 1000),
                              CompleteDatagram(r.id, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10})});
  });
  BYTE out[8];
  std::memset(out, 0xEE, sizeof(out));
  DWORD n = 0;
  ASSERT_TRUE(DeviceIoControl(device_, 3, nullptr, 0, out, 4, &n, &ov_));
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(ov_.InternalHigh, 4u);
  EXPECT_EQ(std::memcmp(out, "\x01\x02\x03\x04\xEE\xEE\xEE\xEE", 8), 0);
  // The connection is still usable.
  server_->SetScript([](const DeviceRequest&) { return DeviceAction::Complete(0); });
  EXPECT_TRUE(DeviceIoControl(device_, 3, nullptr, 0, out, 4, &n, nullptr));
}

TEST_P(DeviceTest, ConcurrentRequestsFromManyThreadsGetTheirOwnReplies) {
  server_->SetScript([](const DeviceRequest& r) { return DeviceAction::Complete(0, r.input); });
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      for (int i = 0; i < 50; ++i) {
        BYTE in[2] = {BYTE(t), BYTE(i)};
        BYTE out[2] = {};
        OVERLAPPED ov = OVERLAPPED();
        ov.hEvent = ev;
        DWORD n = 0;
        BOOL ok = (t % 2 == 0) ? DeviceIoControl(device_, 9, in, 2, out, 2, &n, &ov)
                               : DeviceIoControl(device_, 9, in, 2, out, 2, &n, nullptr);
        if (!ok || n != 2 || out[0] != t || out[1] != i) ++wrong;
      }
      CloseHandle(ev);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  for (const DeviceRequest& r : server_->Requests()) EXPECT_EQ(r.onLane, GetParam());
}

// A request whose thread has gone on is finished all the same: an event wait alone sees it
// (the receiver reads the lane nobody reads), and another thread can wait for its result.
TEST_P(DeviceTest, RequestsOfThreadsThatDoNotWaitStillComplete) {
  server_->SetScript([](const DeviceRequest&) { return DeviceAction::Pending(); });
  HANDLE event2 = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED ov2 = OVERLAPPED();
  ov2.hEvent = event2;
  BYTE out1[4] = {};
  BYTE out2[4] = {};
  auto issue = [this](OVERLAPPED* ov, BYTE* out) {
    DWORD n = 0;
    BOOL done = DeviceIoControl(device_, 1, nullptr, 0, out, 4, &n, ov);
    return !done && GetLastError() == ERROR_IO_PENDING;
  };
  ASSERT_TRUE(std::async(std::launch::async, issue, &ov_, out1).get());
  ASSERT_TRUE(std::async(std::launch::async, issue, &ov2, out2).get());
  auto requests = server_->Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].connection, requests[1].connection);  // one device, however many lanes
  EXPECT_EQ(requests[0].onLane, GetParam());
  EXPECT_EQ(requests[1].onLane, GetParam());

  ASSERT_TRUE(server_->CompletePending(requests[0].id, 0, {1, 2}));
  ASSERT_EQ(WaitForSingleObject(event_, tarnexio_test::ScaledMs(5000)), WAIT_OBJECT_0);
  DWORD got = 0;
  EXPECT_TRUE(GetOverlappedResult(device_, &ov_, &got, FALSE));
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(out1[1], 2);

  auto completer = std::async(std::launch::async, [&] { return server_->CompletePending(requests[1].id, 0, {3}); });
  EXPECT_TRUE(GetOverlappedResult(device_, &ov2, &got, TRUE));
  EXPECT_TRUE(completer.get());
  EXPECT_EQ(got, 1u);
  EXPECT_EQ(out2[0], 3);
  // A thread that ended may hand its id, and with it its lane, to the next one.
  EXPECT_EQ(server_->LaneCount() > 0, GetParam());
  CloseHandle(event2);
}

// Requests that pend and complete from the server's side while their threads alternate
// between reading their lanes themselves and leaving them to the receiver: every one ends
// once, with its own output.
TEST_P(DeviceTest, PendingRequestsOfManyThreadsAllComplete) {
  server_->SetScript([](const DeviceRequest& r) {
    return r.code == 1 ? DeviceAction::Pending() : DeviceAction::Complete(0, r.input);
  });
  constexpr int kThreads = 3, kRounds = 100;
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  // Completes every pending request with its own id as output, as soon as it is seen.
  std::thread completer([&] {
    size_t seen = 0;
    while (!done.load()) {
      if (!server_->WaitForRequests(seen + 1, 50)) continue;
      auto requests = server_->Requests();
      for (; seen < requests.size(); ++seen) {
        const DeviceRequest& r = requests[seen];
        if (r.code == 1) server_->CompletePending(r.id, 0, {BYTE(r.id), BYTE(r.id >> 8)});
      }
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      for (int i = 0; i < kRounds; ++i) {
        OVERLAPPED ov = OVERLAPPED();
        ov.hEvent = ev;
        BYTE out[2] = {};
        DWORD n = 0;
        if (DeviceIoControl(device_, 1, nullptr, 0, out, 2, &n, &ov) || GetLastError() != ERROR_IO_PENDING) {
          ++wrong;
          continue;
        }
        // Every other round waits on the event alone, so the receiver has to read the lane.
        if (i % 2 == 0 && WaitForSingleObject(ev, tarnexio_test::ScaledMs(5000)) != WAIT_OBJECT_0) ++wrong;
        if (!GetOverlappedResult(device_, &ov, &n, TRUE) || n != 2) ++wrong;
        BYTE in[1] = {BYTE(t)};
        if (!DeviceIoControl(device_, 2, in, 1, out, 1, &n, nullptr) || out[0] != t) ++wrong;
      }
      CloseHandle(ev);
    });
  }
  for (auto& th : threads) th.join();
  done = true;
  completer.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(server_->Requests().size(), size_t(2 * kThreads * kRounds));
}

INSTANTIATE_TEST_SUITE_P(Lanes, DeviceTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Offered" : "None"; });
