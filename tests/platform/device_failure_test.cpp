// Devices that are missing, closed, gone or misused.
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstring>
#include <future>
#include <thread>

#include "device_test_util.h"
#include "other_user.h"
#include "thread_state.h"
#include "wait_until.h"

using tarnexio_test::DeviceAction;
using tarnexio_test::DeviceRequest;

TEST(DeviceOpen, MissingOrRefusingDeviceIsFileNotFound) {
  tarnexio_test::TempDeviceDir dir;
  SetLastError(0);
  EXPECT_EQ(CreateFileW(L"\\\\.\\NOPE", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));

  // A socket that is bound but does not listen refuses the connection.
  int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  struct sockaddr_un address;
  std::memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  std::string path = dir.path() + "/DEAD";
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)), 0);
  SetLastError(0);
  EXPECT_EQ(CreateFileW(L"\\\\.\\DEAD", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  close(fd);

  // Only device paths are served.
  tarnexio_test::DeviceDouble server("PLAIN");
  EXPECT_EQ(CreateFileW(L"PLAIN", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  HANDLE h = CreateFileW(L"\\\\.\\PLAIN", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));
}

TEST_P(DeviceTest, InvalidHandlesFailWithInvalidHandle) {
  BYTE out[4];
  DWORD n;
  for (HANDLE bad : {INVALID_HANDLE_VALUE, HANDLE(nullptr), event_, reinterpret_cast<HANDLE>(0x12345)}) {
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(bad, 1, nullptr, 0, out, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(CancelIoEx(bad, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  }
  OVERLAPPED pending = OVERLAPPED();
  pending.Internal = STATUS_PENDING;
  EXPECT_FALSE(GetOverlappedResult(INVALID_HANDLE_VALUE, &pending, &n, TRUE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(server_->WaitForConnections(1));
  EXPECT_TRUE(server_->Requests().empty());
}

// Closes *device while a call on another thread waits on it: that call must end aborted.
// Returns the closed handle, for what may still be asked of it.
static HANDLE CloseUnderWaitingCall(HANDLE* device, std::future<std::pair<BOOL, DWORD>>* call) {
  HANDLE closed = *device;
  *device = INVALID_HANDLE_VALUE;
  EXPECT_TRUE(CloseHandle(closed));
  if (call->wait_for(tarnexio_test::Scaled(std::chrono::seconds(5))) != std::future_status::ready) {
    ADD_FAILURE() << "the waiting call did not end when its handle was closed";
    return closed;
  }
  const std::pair<BOOL, DWORD> result = call->get();
  EXPECT_FALSE(result.first);
  EXPECT_EQ(result.second, DWORD(ERROR_OPERATION_ABORTED));
  return closed;
}

// GetOverlappedResult with bWait TRUE on another thread, once that thread blocks in it.
static std::future<std::pair<BOOL, DWORD>> WaitForResultElsewhere(HANDLE device, OVERLAPPED* ov) {
  auto thread = std::make_shared<std::atomic<pid_t>>(0);
  auto waiter = std::async(std::launch::async, [device, ov, thread] {
    DWORD got;
    *thread = tarnexio_test::CurrentThreadId();
    BOOL ok = GetOverlappedResult(device, ov, &got, TRUE);
    return std::make_pair(ok, GetLastError());
  });
  EXPECT_TRUE(WaitUntil([&] { return thread->load() != 0; }));
  EXPECT_TRUE(tarnexio_test::WaitThreadBlocked(thread->load()));
  return waiter;
}

TEST_P(DeviceTest, CloseCompletesPendingWithAbortedAndLaterCallsFail) {
  server_->SetScript([](const DeviceRequest& r) {
    return r.code == 1 ? DeviceAction::Pending() : DeviceAction::Ignore();
  });
  BYTE out[4];
  DWORD n;
  ASSERT_FALSE(DeviceIoControl(device_, 1, nullptr, 0, out, 4, &n, &ov_));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  // A synchronous call waiting for its first reply on another thread.
  HANDLE device = device_;
  auto blocked = std::async(std::launch::async, [device] {
    BYTE buffer[4];
    DWORD got;
    BOOL ok = DeviceIoControl(device, 2, nullptr, 0, buffer, 4, &got, nullptr);
    return std::make_pair(ok, GetLastError());
  });
  ASSERT_TRUE(server_->WaitForRequests(2));
  HANDLE closed = CloseUnderWaitingCall(&device_, &blocked);

  EXPECT_TRUE(EventSignalled());
  // The finished request can still be asked about on the closed handle.
  EXPECT_FALSE(GetOverlappedResult(closed, &ov_, &n, TRUE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));

  EXPECT_FALSE(DeviceIoControl(closed, 1, nullptr, 0, out, 4, &n, &ov_));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseHandle(closed));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(server_->WaitForNoConnections());
}

TEST_P(DeviceTest, ServerDeathFailsPendingAndLaterRequestsWithDeviceNotConnected) {
  server_->SetScript([](const DeviceRequest&) { return DeviceAction::Pending(); });
  BYTE out[4];
  DWORD n;
  ASSERT_FALSE(DeviceIoControl(device_, 1, nullptr, 0, out, 4, &n, &ov_));
  ASSERT_TRUE(server_->WaitForRequests(1));
  server_->Stop();
  EXPECT_FALSE(GetOverlappedResult(device_, &ov_, &n, TRUE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_TRUE(EventSignalled());
  OVERLAPPED ov2 = OVERLAPPED();
  EXPECT_FALSE(DeviceIoControl(device_, 1, nullptr, 0, out, 4, &n, &ov2));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_FALSE(DeviceIoControl(device_, 1, nullptr, 0, out, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
}

TEST_P(DeviceTest, ServerClosingDuringASynchronousCallFailsIt) {
  server_->SetScript([](const DeviceRequest&) { return DeviceAction::CloseConnection(); });
  BYTE out[4];
  DWORD n;
  EXPECT_FALSE(DeviceIoControl(device_, 1, nullptr, 0, out, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_FALSE(DeviceIoControl(device_, 1, nullptr, 0, out, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
}

TEST_P(DeviceTest, ClosingWhileAnotherThreadWaitsForTheResult) {
  server_->SetScript([](const DeviceRequest&) { return DeviceAction::Pending(); });
  server_->SetAnswerCancels(false);
  BYTE out[4];
  DWORD n;
  ASSERT_FALSE(DeviceIoControl(device_, 1, nullptr, 0, out, 4, &n, &ov_));
  HANDLE device = device_;
  std::atomic<pid_t> thread{0};
  auto waiter = std::async(std::launch::async, [this, device, &thread] {
    DWORD got;
    thread = tarnexio_test::CurrentThreadId();
    BOOL ok = GetOverlappedResult(device, &ov_, &got, TRUE);
    return std::make_pair(ok, GetLastError());
  });
  ASSERT_TRUE(WaitUntil([&] { return thread.load() != 0; }));
  ASSERT_TRUE(tarnexio_test::WaitThreadBlocked(thread.load()));
  CloseUnderWaitingCall(&device_, &waiter);
}

// The server closes the connection of one thread's request (its lane, when lanes are
// offered) while another thread waits for a request of its own lane: the device is gone
// for both, and the waiter's event is signalled.
TEST_P(DeviceTest, OneConnectionEndingEndsTheWaitsOnTheOthers) {
  server_->SetScript([](const DeviceRequest& r) {
    return r.code == 1 ? DeviceAction::Pending() : DeviceAction::CloseItsConnection();
  });
  BYTE out[4];
  DWORD n;
  ASSERT_FALSE(DeviceIoControl(device_, 1, nullptr, 0, out, 4, &n, &ov_));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  auto waiter = WaitForResultElsewhere(device_, &ov_);
  auto closed = std::async(std::launch::async, [this] {
    BYTE buffer[4];
    DWORD got;
    BOOL ok = DeviceIoControl(device_, 2, nullptr, 0, buffer, 4, &got, nullptr);
    return std::make_pair(ok, GetLastError());
  });
  for (auto* call : {&closed, &waiter}) {
    if (call->wait_for(tarnexio_test::Scaled(std::chrono::seconds(5))) != std::future_status::ready) {
      ADD_FAILURE() << "a call still waits on the device after one of its connections ended";
      CloseHandle(device_);  // ends the waits, so that the test ends
      device_ = INVALID_HANDLE_VALUE;
      return;
    }
    const std::pair<BOOL, DWORD> result = call->get();
    EXPECT_FALSE(result.first);
    EXPECT_EQ(result.second, DWORD(ERROR_DEVICE_NOT_CONNECTED));
  }
  EXPECT_TRUE(EventSignalled());
  EXPECT_FALSE(DeviceIoControl(device_, 1, nullptr, 0, out, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
}

// Closing a device ends every thread the layer started for it, however many threads have
// taken lanes.
TEST_P(DeviceTest, ClosingTheDeviceEndsItsThreadsWhateverLanesWereTaken) {
  const size_t before = tarnexio_test::ThreadCount();
  const int lanesBefore = server_->LaneCount();
  HANDLE device = CreateFileW(server_->DevicePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  std::atomic<int> failed{0};
  auto request = [&] {
    DWORD n = 0;
    if (!DeviceIoControl(device, 0, nullptr, 0, nullptr, 0, &n, nullptr)) ++failed;
  };
  request();  // takes the offer, when there is one
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) threads.emplace_back(request);
  for (auto& th : threads) th.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(server_->LaneCount() - lanesBefore >= 3, GetParam());
  EXPECT_TRUE(CloseHandle(device));
  EXPECT_TRUE(WaitUntil([&] { return tarnexio_test::ThreadCount() <= before; }))
      << tarnexio_test::ThreadCount() << " threads, " << before << " before the device was opened";
}

// The opens that failed since the last one that worked are named on one line of standard
// error, once; a failure before a success is forgotten.
TEST(DeviceOpen, FailedOpensSinceTheLastSuccessAreReportedOnceOnOneLine) {
  tarnexio_test::TempDeviceDir dir;
  auto opens = [](const wchar_t* path) {
    HANDLE h = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return h != INVALID_HANDLE_VALUE;
  };
  EXPECT_FALSE(opens(L"\\\\.\\EARLIER"));
  tarnexio_test::DeviceDouble server("LIVE");
  EXPECT_TRUE(opens(L"\\\\.\\LIVE"));
  EXPECT_EQ(tarnexio_test::CaptureStderr(ReportDeviceOpenFailures), "");

  EXPECT_FALSE(opens(L"\\\\.\\FIRST"));
  EXPECT_FALSE(opens(L"\\\\.\\SECOND"));
  EXPECT_EQ(tarnexio_test::CaptureStderr(ReportDeviceOpenFailures),
            "Tarnexio: no driver device could be opened: " + dir.path() + "/FIRST (No such file or directory), " +
                dir.path() +
                "/SECOND (No such file or directory); is ftmd running, with the same device directory "
                "(TARNEXIO_DEVICE_DIR here, --dir for ftmd)?\n");
  EXPECT_EQ(tarnexio_test::CaptureStderr(ReportDeviceOpenFailures), "");
}
