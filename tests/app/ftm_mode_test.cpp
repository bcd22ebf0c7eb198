// The FTM mode thread against a scripted type 1 driver: its five outcomes and the end of
// FTM mode.
#include "app/console_stop.h"
#include "app/ftm_mode.h"
#include "app/startup.h"
#include "scripted_driver.h"
#include "driver/ioctl.h"
#include "test_time.h"

#include <gtest/gtest.h>

#include <climits>
#include <fcntl.h>

using tarnexio_test::DeviceAction;
using tarnexio_test::DeviceDouble;
using tarnexio_test::DeviceRequest;
using tarnexio_test::TempDeviceDir;

namespace {

class FtmModeThread : public ScriptedDriverTest {
 protected:
  void SetUp() override {
    ScriptedDriverTest::SetUp();
    SetConsoleStopContext(ctx_.get());
  }
  void TearDown() override { SetConsoleStopContext(nullptr); }
  // Starts the thread and waits for the FTM mode event as main does.
  HANDLE Start() {
    HANDLE thread = CreateThread(nullptr, 0, EnterFtmModeThread, ctx_.get(), 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(ctx_->ftmMode.hFtmModeEvent.load(), tarnexio_test::ScaledMs(5000)), WAIT_OBJECT_0);
    return thread;
  }
  std::string Refusal(DeviceAction action) {
    device_->SetScript([action](const DeviceRequest&) { return action; });
    ConsoleCapture console;
    HANDLE thread = Start();
    EXPECT_EQ(WaitForSingleObject(thread, tarnexio_test::ScaledMs(5000)), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(ctx_->ftmMode.ftmModeEntered.load(), 0);
    EXPECT_EQ(device_->Requests().back().code, IOCTL_BTFTM_ENABLE_FTM);
    return console.Finish();
  }

};

TEST_F(FtmModeThread, RefusalsSignalTheEventAndEndTheThread) {
  EXPECT_EQ(Refusal(DeviceAction::Complete(ERROR_BAD_COMMAND)),
            "BTFTM : EnterFtmModeThread ++\n"
            "BTFTM : EnableDrvFtm Error: BT is not in OFF state, please turn off BT then try again\n"
            "BTFTM : EnterFtmModeThread --\n");
  ResetEvent(ctx_->ftmMode.hFtmModeEvent.load());
  EXPECT_EQ(Refusal(DeviceAction::Complete(ERROR_INVALID_PARAMETER)),
            "BTFTM : EnterFtmModeThread ++\nBTFTM : EnableDrvFtm Error: Invalid Parameter\n"
            "BTFTM : EnterFtmModeThread --\n");
  ResetEvent(ctx_->ftmMode.hFtmModeEvent.load());
  EXPECT_EQ(Refusal(DeviceAction::Complete(31)),
            "BTFTM : EnterFtmModeThread ++\nBTFTM : EnableDrvFtm Error: Default. Error -0x1F\n"
            "BTFTM : EnterFtmModeThread --\n");
  ResetEvent(ctx_->ftmMode.hFtmModeEvent.load());
  // Completion at once is no FTM mode either.
  EXPECT_EQ(Refusal(DeviceAction::Complete(0)),
            "BTFTM : EnterFtmModeThread ++\nBTFTM : EnterFtmModeThread: DeviceIoControl returns with -0x0\n"
            "BTFTM : EnterFtmModeThread --\n");
}

TEST_F(FtmModeThread, DriverEndingFtmModeRunsTheStopSequence) {
  device_->SetScript([](const DeviceRequest&) { return DeviceAction::Pending(); });
  // Each socket variable gets one end of a pair; the other end sees it close.
  int listenPair[2], clientPair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, listenPair), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, clientPair), 0);
  ctx_->listenSocket = listenPair[0];
  ctx_->host.clientSocket = clientPair[0];
  ConsoleCapture console;
  HANDLE thread = Start();
  // The flag is up by the time the event is seen.
  EXPECT_EQ(ctx_->ftmMode.ftmModeEntered.load(), 1);
  ASSERT_TRUE(device_->WaitForRequests(1));
  EXPECT_EQ(device_->Requests()[0].input.size(), 0u);
  EXPECT_EQ(device_->Requests()[0].outSize, 0u);
  ASSERT_TRUE(device_->CompletePending(device_->Requests()[0].id, 0));
  EXPECT_EQ(WaitForSingleObject(thread, tarnexio_test::ScaledMs(5000)), WAIT_OBJECT_0);
  CloseHandle(thread);
  EXPECT_EQ(console.Finish(),
            "BTFTM : EnterFtmModeThread ++\nBTFTM : EnableDrvFtm Error: Io Pending\n"
            "BTFTM : FTM mode terminated by driver, exiting the FTM App...\n");
  EXPECT_EQ(ctx_->exitFlag.load(), 1);
  EXPECT_EQ(ctx_->listenSocket.load(), INVALID_SOCKET);
  EXPECT_EQ(ctx_->host.clientSocket.load(), INVALID_SOCKET);
  char byte;
  EXPECT_EQ(recv(listenPair[1], &byte, 1, MSG_DONTWAIT), 0);  // closed
  EXPECT_EQ(recv(clientPair[1], &byte, 1, MSG_DONTWAIT), 0);
  close(listenPair[1]);
  close(clientPair[1]);
  EXPECT_EQ(ctx_->driver.hDriver.load(), nullptr);
  // The thread's own stop sequence does not open the SCO gate.
  EXPECT_EQ(WaitForSingleObject(ctx_->sco.ScoRxStartEvent.load(), 0), WAIT_TIMEOUT);
}

TEST_F(FtmModeThread, CtrlCDuringFtmModeEndsItWithTheAbortedStatus) {
  device_->SetScript([](const DeviceRequest&) { return DeviceAction::Pending(); });
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ctx_->listenSocket = pair[0];
  ctx_->host.clientSocket = pair[1];
  ConsoleCapture console;
  HANDLE thread = Start();
  ConsoleCtrlHandler(CTRL_C_EVENT);
  EXPECT_EQ(WaitForSingleObject(thread, tarnexio_test::ScaledMs(5000)), WAIT_OBJECT_0);
  CloseHandle(thread);
  std::string out = console.Finish();
  EXPECT_NE(out.find("BTFTM : EnableDrvFtm Error: GetOverlappedResult default error = 0x3E3\n"), std::string::npos)
      << out;
  EXPECT_EQ(ctx_->listenSocket.load(), INVALID_SOCKET);
  EXPECT_EQ(ctx_->driver.hDriver.load(), nullptr);
  EXPECT_TRUE(device_->WaitForNoConnections());
}

TEST(PortArgument, ParsesLikeAnIntegerConversion) {
  EXPECT_EQ(ParsePortArgument("2390"), 2390);
  EXPECT_EQ(ParsePortArgument("2390x"), 2390);
  EXPECT_EQ(ParsePortArgument("  +70000"), 70000);
  EXPECT_EQ(ParsePortArgument("-1"), -1);
  EXPECT_EQ(ParsePortArgument("abc"), 0);
  EXPECT_EQ(ParsePortArgument(""), 0);
  EXPECT_EQ(ParsePortArgument("-"), 0);
  EXPECT_EQ(ParsePortArgument("99999999999999999999"), INT_MAX);
  EXPECT_EQ(ParsePortArgument("-99999999999999999999"), INT_MIN);
  EXPECT_EQ(ParsePortArgument("70000") & 0xFFFF, 4464);
  EXPECT_EQ(ParsePortArgument("-1") & 0xFFFF, 65535);
}

}  // namespace
