// The console control handler, the stop sequence and the final clean-up, called directly.
#include "app/console_stop.h"
#include "core/context.h"
#include "scripted_driver.h"

#include <gtest/gtest.h>

#include "test_time.h"

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using tarnexio_test::DeviceAction;
using tarnexio_test::DeviceDouble;
using tarnexio_test::DeviceRequest;
using tarnexio_test::TempDeviceDir;

namespace {

bool IsOpenFd(int fd) { return fcntl(fd, F_GETFD) != -1; }

// The identity of the socket behind a descriptor, so that a closed descriptor whose
// number another thread has reused meanwhile is not taken for the old socket.
ino_t InodeOf(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

// Whether descriptor fd still names the socket with that inode, read from /proc/self/fd
// rather than by a call on the descriptor: once the stop sequence has closed it, its
// number is free, and another thread (the device double's server accepting, the device's
// receiver) may be given it at that very moment; a call on it would race with theirs.
bool NamesSocket(int fd, ino_t inode) {
  char target[64] = {};
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  return n > 0 && std::string(target, size_t(n)) == "socket:[" + std::to_string(inode) + "]";
}

// A reader between two reads when the clean-up begins: once the driver has gone it goes on
// using its read record's event for a while (0.1 s), as a slow reader finishing its last
// request does. A clean-up that does not wait for it closes the event under it.
struct LateReader {
  FtmAppContext* ctx;
  std::atomic<bool> eventWorked{false};
};

DWORD WINAPI UseEventOnceTheDriverIsClosed(LPVOID arg) {
  auto* reader = static_cast<LateReader*>(arg);
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + tarnexio_test::Scaled(tarnexio_test::Millis(10000));
  while (reader->ctx->driver.hDriver.load() != nullptr && Clock::now() < deadline) std::this_thread::yield();
  bool worked = true;
  for (const auto until = Clock::now() + std::chrono::milliseconds(100); worked && Clock::now() < until;) {
    worked = ResetEvent(reader->ctx->eventReader.overlap.hEvent) != FALSE;
  }
  reader->eventWorked = worked;
  return 0;
}

// A reader that does not end while the clean-up waits: it ends when the test lets it.
struct StuckReader {
  HANDLE release;
  HANDLE ended;
};

DWORD WINAPI WaitToBeReleased(LPVOID arg) {
  auto* reader = static_cast<StuckReader*>(arg);
  WaitForSingleObject(reader->release, INFINITE);
  SetEvent(reader->ended);
  return 0;
}

class StopSequence : public ::testing::Test {
 protected:
  void SetUp() override { SetConsoleStopContext(ctx_.get()); }
  void TearDown() override { SetConsoleStopContext(nullptr); }
  // Gives both socket variables a real socket.
  void OpenSockets() {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ctx_->listenSocket = pair[0];
    ctx_->host.clientSocket = pair[1];
    fds_ = {pair[0], pair[1]};
    inodes_ = {InodeOf(pair[0]), InodeOf(pair[1])};
  }
  bool StillOpen(int i) { return NamesSocket(fds_[i], inodes_[i]); }
  void OpenDriver() {
    device_ = std::make_unique<DeviceDouble>("ZELDROVE");
    ctx_->driver.hDriver = OpenScriptedDevice(device_->DevicePath());
    ASSERT_NE(ctx_->driver.hDriver.load(), INVALID_HANDLE_VALUE);
  }
  bool GateOpen() { return WaitForSingleObject(ctx_->sco.ScoRxStartEvent.load(), 0) == WAIT_OBJECT_0; }

  TempDeviceDir dir_;
  std::unique_ptr<DeviceDouble> device_;
  TestRecord ctx_;
  std::vector<int> fds_;
  std::vector<ino_t> inodes_;
};

TEST_F(StopSequence, CtrlCAndBreakRunItAndOtherEventsAreOnlyAcknowledged) {
  for (DWORD type : {CTRL_CLOSE_EVENT, 3u, 4u, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT, 7u}) {
    OpenSockets();
    ConsoleCapture console;
    EXPECT_TRUE(ConsoleCtrlHandler(type));
    EXPECT_EQ(console.Finish(), "");
    EXPECT_EQ(ctx_->exitFlag.load(), 0);
    EXPECT_EQ(ctx_->listenSocket.load(), fds_[0]);
    EXPECT_TRUE(StillOpen(0) && StillOpen(1));  // what the stops below must undo
    CloseSocketOnce(&ctx_->listenSocket, false);
    CloseSocketOnce(&ctx_->host.clientSocket, false);
  }
  for (DWORD type : {CTRL_C_EVENT, CTRL_BREAK_EVENT}) {
    ctx_->exitFlag = 0;
    ResetEvent(ctx_->sco.ScoRxStartEvent.load());
    OpenSockets();
    OpenDriver();
    ConsoleCapture console;
    EXPECT_TRUE(ConsoleCtrlHandler(type));
    EXPECT_EQ(console.Finish(), "Signalling the main thread to exit..\n");
    EXPECT_EQ(ctx_->exitFlag.load(), 1);
    EXPECT_TRUE(GateOpen());
    EXPECT_EQ(ctx_->listenSocket.load(), INVALID_SOCKET);
    EXPECT_EQ(ctx_->host.clientSocket.load(), INVALID_SOCKET);
    EXPECT_FALSE(StillOpen(0));
    EXPECT_FALSE(StillOpen(1));
    EXPECT_EQ(ctx_->driver.hDriver.load(), nullptr);
    EXPECT_TRUE(device_->WaitForNoConnections());
    device_.reset();
  }
}

TEST_F(StopSequence, SecondCtrlCPrintsItsLineAndChangesNothingElse) {
  OpenSockets();
  OpenDriver();
  ConsoleCapture console;
  ConsoleCtrlHandler(CTRL_C_EVENT);
  int other = dup(0);  // takes the lowest free descriptor: one of the closed sockets'
  ConsoleCtrlHandler(CTRL_C_EVENT);
  EXPECT_EQ(console.Finish(), "Signalling the main thread to exit..\nSignalling the main thread to exit..\n");
  EXPECT_TRUE(IsOpenFd(other));  // the second pass closed nothing
  close(other);
  // One cancel at the most: the second pass found the driver closed.
  device_->WaitForCancels(2, 300);
  EXPECT_LE(device_->Cancels().size(), 1u);
}

TEST_F(StopSequence, WithoutSocketsOrDriverItOnlyRaisesTheFlag) {
  ConsoleCapture console;
  ConsoleCtrlHandler(CTRL_BREAK_EVENT);
  EXPECT_EQ(console.Finish(), "Signalling the main thread to exit..\n");
  EXPECT_EQ(ctx_->exitFlag.load(), 1);
  EXPECT_TRUE(GateOpen());
}

TEST_F(StopSequence, TheFtmModeThreadsSequenceLeavesTheGateClosed) {
  OpenSockets();
  RunStopSequence(ctx_.get(), false);
  EXPECT_FALSE(GateOpen());
  EXPECT_EQ(ctx_->host.clientSocket.load(), INVALID_SOCKET);
}

// Both ways a run ends cancel what is still pending before they close the driver: a
// system that leaves requests pending at the close would keep the device open, and the
// server is told of the cancel, not only of the close.
TEST_F(StopSequence, ItAndTheCleanUpCancelPendingDriverRequestsBeforeClosing) {
  const struct {
    const char* name;
    void (*end)(FtmAppContext*);
  } ends[] = {
      {"stop sequence", [](FtmAppContext* ctx) { RunStopSequence(ctx, false); }},
      {"clean-up", [](FtmAppContext* ctx) { CleanAllResources(ctx); }},
  };
  for (const auto& e : ends) {
    SCOPED_TRACE(e.name);
    device_.reset();  // the last one's double goes before the next takes its name
    OpenDriver();
    device_->SetScript([](const DeviceRequest&) { return DeviceAction::Pending(); });
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BYTE out[4];
    DWORD n = 0;
    ASSERT_FALSE(DeviceIoControl(ctx_->driver.hDriver.load(), 0x9600259C, nullptr, 0, out, 4, &n, &ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    e.end(ctx_.get());
    EXPECT_FALSE(GetOverlappedResult(nullptr, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_TRUE(device_->WaitForCancels(1));
    CloseHandle(ov.hEvent);
  }
}

TEST_F(StopSequence, ConcurrentStopSequencesCloseEverythingExactlyOnce) {
  for (int round = 0; round < 200; ++round) {
    OpenSockets();
    std::atomic<int> go{0};
    std::thread a([&] {
      while (go.load() == 0) {
      }
      RunStopSequence(ctx_.get(), true);
    });
    std::thread b([&] {
      while (go.load() == 0) {
      }
      RunStopSequence(ctx_.get(), false);
    });
    go = 1;
    a.join();
    b.join();
    // Neither pass closed a descriptor that the other had closed and the system reused:
    // a descriptor opened now must survive.
    int probe = dup(0);
    EXPECT_TRUE(IsOpenFd(probe));
    EXPECT_EQ(ctx_->listenSocket.load(), INVALID_SOCKET);
    EXPECT_EQ(ctx_->host.clientSocket.load(), INVALID_SOCKET);
    close(probe);
  }
}

TEST_F(StopSequence, CleanUpWithEverythingClosingPrintsOnlyItsTwoLines) {
  OpenDriver();
  ConsoleCapture console;
  CleanAllResources(ctx_.get());
  EXPECT_EQ(console.Finish(), "BTFTM : Cleaning all resources\nBTFTM : All resources are freed\n");
  EXPECT_EQ(ctx_->exitFlag.load(), 1);
  EXPECT_EQ(ctx_->driver.hDriver.load(), nullptr);
  EXPECT_EQ(ctx_->ftmMode.hFtmModeEvent.load(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(ctx_->sco.ScoRxStartEvent.load(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(ctx_->writes.command.hEvent, INVALID_HANDLE_VALUE);
  // Reader records that never got an event are skipped silently.
  EXPECT_EQ(ctx_->eventReader.overlap.hEvent, nullptr);
}

TEST_F(StopSequence, CleanUpClosesAReadersEventOnlyOnceTheReaderHasEnded) {
  OpenDriver();
  SetRecordEvent(&ctx_->eventReader.overlap, CreateEventW(nullptr, TRUE, FALSE, nullptr));
  LateReader reader{ctx_.get()};
  ctx_->eventReader.thread = CreateThread(nullptr, 0, UseEventOnceTheDriverIsClosed, &reader, 0, nullptr);
  ASSERT_NE(ctx_->eventReader.thread.load(), nullptr);
  ConsoleCapture console;
  CleanAllResources(ctx_.get());
  EXPECT_EQ(console.Finish(), "BTFTM : Cleaning all resources\nBTFTM : All resources are freed\n");
  EXPECT_TRUE(reader.eventWorked);
  EXPECT_EQ(ctx_->eventReader.overlap.hEvent, INVALID_HANDLE_VALUE);
  ctx_->eventReader.thread = nullptr;  // closed by the clean-up
}

TEST_F(StopSequence, CleanUpLeavesTheEventOfAReaderThatDidNotEndOpen) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetRecordEvent(&ctx_->aclReader.overlap, event);
  StuckReader reader{CreateEventW(nullptr, TRUE, FALSE, nullptr), CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ctx_->aclReader.thread = CreateThread(nullptr, 0, WaitToBeReleased, &reader, 0, nullptr);
  ASSERT_NE(ctx_->aclReader.thread.load(), nullptr);
  ConsoleCapture console;
  CleanAllResources(ctx_.get());  // waits READER_END_WAIT_MS for it
  EXPECT_EQ(console.Finish(), "BTFTM : Cleaning all resources\nBTFTM : All resources are freed\n");
  EXPECT_EQ(ctx_->aclReader.overlap.hEvent, event);
  EXPECT_TRUE(ResetEvent(event));  // still open for the reader
  SetEvent(reader.release);
  ASSERT_EQ(WaitForSingleObject(reader.ended, DWORD(tarnexio_test::ScaledMs(10000))), WAIT_OBJECT_0);
  ctx_->aclReader.thread = nullptr;  // closed by the clean-up
  CloseHandle(event);
  SetRecordEvent(&ctx_->aclReader.overlap, nullptr);
  CloseHandle(reader.release);
  CloseHandle(reader.ended);
}

TEST_F(StopSequence, CleanUpAfterAFailedOpenLeavesTheDriverAlone) {
  ctx_->driver.hDriver = INVALID_HANDLE_VALUE;
  ConsoleCapture console;
  CleanAllResources(ctx_.get());
  EXPECT_EQ(console.Finish(), "BTFTM : Cleaning all resources\nBTFTM : All resources are freed\n");
  EXPECT_EQ(ctx_->driver.hDriver.load(), INVALID_HANDLE_VALUE);
}

TEST_F(StopSequence, FailedClosesAreReportedAndTheFieldsKept) {
  // Handles that are already closed fail to close again.
  HANDLE stale = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CloseHandle(stale);
  CloseHandle(ctx_->ftmMode.hFtmModeEvent.load());
  ctx_->ftmMode.hFtmModeEvent = stale;
  ctx_->driver.hDriver = stale;
  SetRecordEvent(&ctx_->eventReader.overlap, stale);
  ConsoleCapture console;
  CleanAllResources(ctx_.get());
  EXPECT_EQ(console.Finish(),
            "BTFTM : Cleaning all resources\n"
            "BTFTM : Error in closing FTM Driver\n"
            "BTFTM : Error in closing Overlapped Read event Handle\n"
            "BTFTM : Error in closing FTM mode event Handle\n"
            "BTFTM : All resources are freed\n");
  EXPECT_EQ(ctx_->driver.hDriver.load(), stale);
  EXPECT_EQ(ctx_->ftmMode.hFtmModeEvent.load(), stale);
  ctx_->driver.hDriver = nullptr;
  SetRecordEvent(&ctx_->eventReader.overlap, nullptr);
}

}  // namespace
