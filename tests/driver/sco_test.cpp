// SCO interface selection in the driver and the packet-size rule.
#include "driver/driver.h"
#include "recorders.h"
#include "scripted_driver.h"

#include <gtest/gtest.h>

#include <vector>

using tarnexio_test::DeviceAction;
using tarnexio_test::DeviceDouble;
using tarnexio_test::DeviceRequest;
using tarnexio_test::TempDeviceDir;

namespace {

class ScoSelection : public ScriptedDriverTest {
 protected:
  std::string Select(BYTE id) {
    ConsoleCapture console;
    SelectScoInf(&ctx_->sco, &ctx_->driver, id);
    return console.Finish();
  }
};

TEST_F(ScoSelection, SuccessRecordsTheInterfaceOpensTheGateAndIsNotRepeated) {
  EXPECT_EQ(Select(1), "SelectScoInf: Select SCO Inf happened synchronously, dwError is 0\n");
  EXPECT_EQ(ctx_->sco.currentScoInterface.load(), 1);
  EXPECT_TRUE(GateOpen());
  auto requests = device_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].code, IOCTL_BTFTM_SELECT_SCO_INF);
  EXPECT_EQ(requests[0].input, std::vector<uint8_t>{1});
  EXPECT_EQ(requests[0].outSize, 0u);

  EXPECT_EQ(Select(1), "");  // already current: no request at all
  EXPECT_EQ(device_->Requests().size(), 1u);

  // Selecting 0 records it but does not signal the gate.
  ResetEvent(ctx_->sco.ScoRxStartEvent.load());
  EXPECT_EQ(Select(0), "SelectScoInf: Select SCO Inf happened synchronously, dwError is 0\n");
  EXPECT_EQ(ctx_->sco.currentScoInterface.load(), 0);
  EXPECT_FALSE(GateOpen());
}

TEST_F(ScoSelection, FailuresLeaveTheInterfaceAndGateUnchanged) {
  device_->SetScript([](const DeviceRequest&) { return DeviceAction::Complete(ERROR_INVALID_PARAMETER); });
  EXPECT_EQ(Select(2), "SelectScoInf: Error:Invalid Parameter\n");
  device_->SetScript([](const DeviceRequest&) { return DeviceAction::Pending(); });
  EXPECT_EQ(Select(2), "SelectScoInf: Error:Io Pending\n");
  device_->SetScript([](const DeviceRequest&) { return DeviceAction::Complete(31); });
  EXPECT_EQ(Select(2), "SelectScoInf: Error:in default. Error -0x1F\n");
  EXPECT_EQ(ctx_->sco.currentScoInterface.load(), 0);
  EXPECT_FALSE(GateOpen());
  EXPECT_EQ(device_->Requests().size(), 3u);  // each packet of that size tries again
}

TEST(ScoPacketRule, SizesMapToTheirInterfaces) {
  EXPECT_EQ(ScoInterfaceForLength(27), 1);
  EXPECT_EQ(ScoInterfaceForLength(51), 2);
  EXPECT_EQ(ScoInterfaceForLength(75), 3);
  EXPECT_EQ(ScoInterfaceForLength(99), 4);
  EXPECT_EQ(ScoInterfaceForLength(147), 5);
  EXPECT_EQ(ScoInterfaceForLength(63), 6);  // 60 data bytes: interface 6, not 3
  for (int len : {0, 3, 21, 33, 62, 64, 126, 258}) EXPECT_EQ(ScoInterfaceForLength(len), 0) << len;
}

TEST(ScoPacketRule, UnlistedSizeIsReportedWithoutALineEnd) {
  DriverWriteRecorder recorder;
  ConsoleCapture console;
  ApplyScoPacketRule(33, recorder.writer());
  ApplyScoPacketRule(27, recorder.writer());
  EXPECT_EQ(console.Finish(), "BTFTM: Invalid sco hciLen 33");
  EXPECT_EQ(recorder.writes(), (std::vector<RecordedWrite>{{'I', {1}}}));
}

}  // namespace
