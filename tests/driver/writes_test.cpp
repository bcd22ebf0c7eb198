// The three writes against a scripted driver on the real device channel: every outcome
// of the overlapped request pattern and its message.
#include "driver/driver.h"
#include "scripted_driver.h"

#include <gtest/gtest.h>

#include <thread>

using tarnexio_test::DeviceAction;
using tarnexio_test::DeviceDouble;
using tarnexio_test::DeviceRequest;
using tarnexio_test::TempDeviceDir;

namespace {

struct WriteOp {
  const char* name;
  void (*write)(FtmAppContext*, const BYTE*, int);
  DWORD code;
  OVERLAPPED WriteRecords::*record;
  const char* completedAtOnce;
};

const WriteOp kOps[] = {
    {"SendHciCmd", SendHciCmd, IOCTL_BTFTM_SEND_HCI_CMD, &WriteRecords::command,
     "SendHciCmd: CMD write happened synchronously\n"},
    {"SendAclData", SendAclData, IOCTL_BTFTM_SEND_ACL, &WriteRecords::acl,
     "SendAclData: ACL write happened synchronously\n"},
    {"SendScoData", SendScoData, IOCTL_BTFTM_SEND_SCO, &WriteRecords::sco,
     "SendScoData: SCO write happened synchronously, dwError=0\n"},
};

class DriverWrites : public ScriptedDriverTest {
 protected:
  // Runs one write with the given script; a pending request is completed with
  // laterStatus by a helper thread once it has arrived.
  std::string Write(const WriteOp& op, DeviceAction first, bool completeLater = false, DWORD laterStatus = 0) {
    device_->SetScript([first](const DeviceRequest&) { return first; });
    size_t before = device_->Requests().size();
    std::thread completer;
    if (completeLater) {
      completer = std::thread([&, before] {
        if (device_->WaitForRequests(before + 1)) device_->CompletePending(device_->Requests().back().id, laterStatus);
      });
    }
    ConsoleCapture console;
    const BYTE packet[] = {0x03, 0x0C, 0x00};
    op.write(ctx_.get(), packet, sizeof packet);
    if (completer.joinable()) completer.join();
    return console.Finish();
  }

  bool EventSignalled(const WriteOp& op) {
    return WaitForSingleObject((ctx_->writes.*op.record).hEvent, 0) == WAIT_OBJECT_0;
  }
};

TEST_F(DriverWrites, CompletionAtOnceOnlyPrintsItsMessageAndLeavesTheEventAlone) {
  for (const WriteOp& op : kOps) {
    SetLastError(0);  // the SCO line prints the thread's last error, which a completion at once leaves alone
    EXPECT_EQ(Write(op, DeviceAction::Complete(0)), op.completedAtOnce);
    EXPECT_TRUE(EventSignalled(op)) << op.name;  // not reset after a completion at once
    auto last = device_->Requests().back();
    EXPECT_EQ(last.code, op.code);
    EXPECT_EQ(last.input, (std::vector<uint8_t>{0x03, 0x0C, 0x00}));
  }
}

TEST_F(DriverWrites, PendingThenSuccessIsSilentAndResetsTheEvent) {
  for (const WriteOp& op : kOps) {
    EXPECT_EQ(Write(op, DeviceAction::Pending(), true, 0), "") << op.name;
    EXPECT_FALSE(EventSignalled(op)) << op.name;
  }
}

TEST_F(DriverWrites, PendingThenErrorPrintsTheWaitMessages) {
  for (const WriteOp& op : kOps) {
    std::string name = op.name;
    EXPECT_EQ(Write(op, DeviceAction::Pending(), true, ERROR_INVALID_PARAMETER), name + ": Error:Invalid Parameter\n");
    EXPECT_EQ(Write(op, DeviceAction::Pending(), true, ERROR_IO_INCOMPLETE),
              name + ": GetOverlappedResult I/O Incomplete\n");
    EXPECT_EQ(Write(op, DeviceAction::Pending(), true, 31), name + ": Error1: in deafult dwError=0x1F\n");
  }
}

TEST_F(DriverWrites, ImmediateErrorsPrintTheRequestMessages) {
  for (const WriteOp& op : kOps) {
    std::string name = op.name;
    EXPECT_EQ(Write(op, DeviceAction::Complete(ERROR_INVALID_PARAMETER)), name + ": Error:Invalid Parameter\n");
    EXPECT_EQ(Write(op, DeviceAction::Complete(1)), name + ": Error:in default. Error -0x1\n");
  }
}

TEST_F(DriverWrites, CommandWriteCarriesAnOutputOnlyForType2) {
  device_->SetScript([](const DeviceRequest&) { return DeviceAction::Complete(0); });
  ConsoleCapture quiet;
  const BYTE reset[] = {0x03, 0x0C, 0x00};
  SendHciCmd(ctx_.get(), reset, 3);
  EXPECT_EQ(device_->Requests().back().outSize, 0u);
  ctx_->driver.drvType = DRV_TYPE_BTFTMDRIVER;
  SendHciCmd(ctx_.get(), reset, 3);
  EXPECT_EQ(device_->Requests().back().outSize, 4u);
}

TEST_F(DriverWrites, CancelEndsAWaitingWriteWithAbortedMessage) {
  for (const WriteOp& op : kOps) {
    device_->SetScript([](const DeviceRequest&) { return DeviceAction::Pending(); });
    size_t before = device_->Requests().size();
    std::thread canceller([&] {
      if (device_->WaitForRequests(before + 1)) CancelIoEx(ctx_->driver.hDriver.load(), nullptr);
    });
    ConsoleCapture console;
    const BYTE packet[] = {1, 2, 3};
    op.write(ctx_.get(), packet, 3);
    canceller.join();
    EXPECT_EQ(console.Finish(), std::string(op.name) + ": Error1: in deafult dwError=0x3E3\n");
  }
}

TEST_F(DriverWrites, AClosedDriverFailsEveryWriteAtOnce) {
  {
    ConsoleCapture quiet;
    RunStopSequence(ctx_.get(), false);
  }
  for (const WriteOp& op : kOps) {
    EXPECT_EQ(Write(op, DeviceAction::Complete(0)), std::string(op.name) + ": Error:in default. Error -0x6\n");
  }
}

}  // namespace
