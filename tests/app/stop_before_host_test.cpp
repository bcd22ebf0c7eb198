// A stop sequence that a thread of the run finishes before main serves the test host: the
// driver gone under the readers, FTM mode ended by the driver, the controller in use. The
// threads run for real on a scripted device; main's part is then ServeTestHost itself.
#include "app/ftm_mode.h"
#include "child_process.h"
#include "device_double.h"
#include "driver/ioctl.h"
#include "forward/forward.h"
#include "hostlink/hostlink.h"
#include "test_record.h"
#include "test_time.h"
#include "wait_until.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

using tarnexio_test::DeviceAction;
using tarnexio_test::DeviceDouble;
using tarnexio_test::DeviceRequest;
using tarnexio_test::TempDeviceDir;

namespace {

bool IsRead(const DeviceRequest& r) {
  return r.code == IOCTL_BTFTM_READ_EVENT || r.code == IOCTL_BTFTM_READ_ACL || r.code == IOCTL_BTFTM_READ_SCO;
}

struct EarlyStop {
  const char* name;
  const char* deviceName;
  DWORD drvType;
  std::vector<LPTHREAD_START_ROUTINE> threads;
  DeviceDouble::Script (*script)();  // a fresh script for each run
  const char* stopLine;  // what the thread that stops the run says first
};

void PrintTo(const EarlyStop& c, std::ostream* os) { *os << c.name; }

const EarlyStop kEarlyStops[] = {
    // Type 1: every read finds the device gone (the driver unloaded after FTM mode began).
    {"Type1DriverGoneUnderTheReaders", WIRE_TYPE1_DEVICE_NAME, DRV_TYPE_ZELDROVE,
     {EventThread, AclThread, ScoThread},
     [] {
       return DeviceDouble::Script(
           [](const DeviceRequest& r) { return IsRead(r) ? DeviceAction::CloseConnection() : DeviceAction::Complete(0); });
     },
     "driver device is gone (Error -0x48F), stopping\n"},
    // Type 1: the enable-FTM request completes at once after it went pending: FTM mode ended.
    {"Type1FtmModeEndedByTheDriver", WIRE_TYPE1_DEVICE_NAME, DRV_TYPE_ZELDROVE,
     {EnterFtmModeThread},
     [] {
       return DeviceDouble::Script([](const DeviceRequest& r) {
         if (r.code != IOCTL_BTFTM_ENABLE_FTM) return DeviceAction::Complete(0);
         return DeviceAction::Raw({tarnexio_test::PendingDatagram(r.id), tarnexio_test::CompleteDatagram(r.id, 0)});
       });
     },
     "BTFTM : FTM mode terminated by driver, exiting the FTM App...\n"},
    // Type 2: another bridge holds the controller; the device answers "in use" and then
    // ends the connection, as the driver does for a second client.
    {"Type2ControllerInUse", WIRE_TYPE2_DEVICE_NAME, DRV_TYPE_BTFTMDRIVER,
     {EventThread},
     [] {
       auto reads = std::make_shared<int>(0);  // the script runs on the server's one thread
       return DeviceDouble::Script([reads](const DeviceRequest& r) {
         if (!IsRead(r)) return DeviceAction::Complete(0);
         return (*reads)++ == 0 ? DeviceAction::Complete(ERROR_SHARING_VIOLATION) : DeviceAction::CloseConnection();
       });
     },
     "driver device is gone (Error -0x48F), stopping\n"},
};

class StopBeforeHost : public ::testing::TestWithParam<EarlyStop> {
 protected:
  void TearDown() override {
    RunStopSequence(ctx_.get(), true);
    for (HANDLE thread : threads_) {
      EXPECT_EQ(WaitForSingleObject(thread, tarnexio_test::ScaledMs(5000)), WAIT_OBJECT_0);
      CloseHandle(thread);
    }
    if (server_.valid() && server_.wait_for(tarnexio_test::Scaled(std::chrono::seconds(10))) != std::future_status::ready) {
      ADD_FAILURE() << "the server still waits after a second stop";
    }
    std::string text = console_.Finish();
    if (HasFailure()) fprintf(stderr, "--- console ---\n%s--- end ---\n", text.c_str());
  }

  TempDeviceDir dir_;
  std::unique_ptr<DeviceDouble> device_;
  ConsoleCapture console_;
  TestRecord ctx_;
  std::vector<HANDLE> threads_;
  std::future<int> server_;
};

TEST_P(StopBeforeHost, MainNeverListensAndLeavesNothingOpen) {
  const EarlyStop& c = GetParam();
  device_ = std::make_unique<DeviceDouble>(c.deviceName);
  device_->SetScript(c.script());
  ctx_->driver.drvType = c.drvType;
  ctx_->diagMode = 0;
  ctx_->driver.hDriver = CreateFileW(device_->DevicePath().c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                              nullptr);
  ASSERT_NE(ctx_->driver.hDriver.load(), INVALID_HANDLE_VALUE);
  for (LPTHREAD_START_ROUTINE routine : c.threads) {
    HANDLE thread = CreateThread(nullptr, 0, routine, ctx_.get(), 0, nullptr);
    ASSERT_NE(thread, nullptr);
    threads_.push_back(thread);
  }
  // The stop sequence has run to its end before main gets to the server: the threads are
  // gone and the driver handle with them.
  for (HANDLE thread : threads_) ASSERT_EQ(WaitForSingleObject(thread, tarnexio_test::ScaledMs(5000)), WAIT_OBJECT_0) << console_.Text();
  ASSERT_EQ(ctx_->exitFlag.load(), 1);
  ASSERT_NE(console_.Text().find(c.stopLine), std::string::npos) << console_.Text();
  EXPECT_EQ(ctx_->driver.hDriver.load(), nullptr);

  const int port = tarnexio_test::FreePort();
  server_ = std::async(std::launch::async, [&] { return ServeTestHost(ctx_.get(), port); });
  ASSERT_EQ(server_.wait_for(tarnexio_test::Scaled(std::chrono::seconds(10))), std::future_status::ready)
      << "the server waits for a test host after the run was stopped";
  EXPECT_EQ(server_.get(), HOST_STOPPED_BEFORE_HOST);
  const std::string text = console_.Text();
  // The socket was made and closed again; nothing after it.
  const std::string created = "BTFTM : Ethernet Socket created\n";
  ASSERT_GE(text.size(), created.size());
  EXPECT_EQ(text.substr(text.size() - created.size()), created) << text;
  EXPECT_EQ(ctx_->listenSocket.load(), INVALID_SOCKET);
  // Nobody listens on the port: a test host is refused at once.
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons((unsigned short)port);
  EXPECT_NE(connect(probe, (sockaddr*)&address, sizeof address), 0);
  close(probe);
}

INSTANTIATE_TEST_SUITE_P(EveryEarlyStop, StopBeforeHost, ::testing::ValuesIn(kEarlyStops),
                         [](const ::testing::TestParamInfo<EarlyStop>& p) { return std::string(p.param.name); });

}  // namespace
