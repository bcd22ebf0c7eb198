// SCO interface selection in the driver, the packet-size rule and SCO link tracking.
#include "app/context.h"
#include "scripted_driver.h"
#include "driver/driver.h"

#include <gtest/gtest.h>

#include <vector>

using tarnexio_test::DeviceAction;
using tarnexio_test::DeviceDouble;
using tarnexio_test::DeviceRequest;
using tarnexio_test::TempDeviceDir;

namespace {

class ScoSelection : public ScriptedDriverTest {
 protected:
  bool GateOpen() { return WaitForSingleObject(gFtmAppContext.ScoRxStartEvent.load(), 0) == WAIT_OBJECT_0; }
  std::string Select(BYTE id) {
    ConsoleCapture console;
    SelectScoInf(id);
    return console.Finish();
  }

};

TEST_F(ScoSelection, SuccessRecordsTheInterfaceOpensTheGateAndIsNotRepeated) {
  EXPECT_EQ(Select(1), "SelectScoInf: Select SCO Inf happened synchronously, dwError is 0\n");
  EXPECT_EQ(currentScoInterface.load(), 1);
  EXPECT_TRUE(GateOpen());
  auto requests = device_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].code, IOCTL_BTFTM_SELECT_SCO_INF);
  EXPECT_EQ(requests[0].input, std::vector<uint8_t>{1});
  EXPECT_EQ(requests[0].outSize, 0u);

  EXPECT_EQ(Select(1), "");  // already current: no request at all
  EXPECT_EQ(device_->Requests().size(), 1u);

  // Selecting 0 records it but does not signal the gate.
  ResetEvent(gFtmAppContext.ScoRxStartEvent.load());
  EXPECT_EQ(Select(0), "SelectScoInf: Select SCO Inf happened synchronously, dwError is 0\n");
  EXPECT_EQ(currentScoInterface.load(), 0);
  EXPECT_FALSE(GateOpen());
}

TEST_F(ScoSelection, FailuresLeaveTheInterfaceAndGateUnchanged) {
  device_->SetScript([](const DeviceRequest&) { return DeviceAction::Complete(ERROR_INVALID_PARAMETER); });
  EXPECT_EQ(Select(2), "SelectScoInf: Error:Invalid Parameter\n");
  device_->SetScript([](const DeviceRequest&) { return DeviceAction::Pending(); });
  EXPECT_EQ(Select(2), "SelectScoInf: Error:Io Pending\n");
  device_->SetScript([](const DeviceRequest&) { return DeviceAction::Complete(31); });
  EXPECT_EQ(Select(2), "SelectScoInf: Error:in default. Error -0x1F\n");
  EXPECT_EQ(currentScoInterface.load(), 0);
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

std::vector<BYTE> gSelected;
void RecordSelect(BYTE id) { gSelected.push_back(id); }
void NoWrite(const BYTE*, int) {}
const DriverWriter kRecorder = {NoWrite, NoWrite, NoWrite, RecordSelect};

TEST(ScoPacketRule, UnlistedSizeIsReportedWithoutALineEnd) {
  gSelected.clear();
  ConsoleCapture console;
  ApplyScoPacketRule(33, kRecorder);
  ApplyScoPacketRule(27, kRecorder);
  EXPECT_EQ(console.Finish(), "BTFTM: Invalid sco hciLen 33");
  EXPECT_EQ(gSelected, std::vector<BYTE>{1});
}

class LinkTracking : public ::testing::Test {
 protected:
  void SetUp() override {
    ConsoleCapture quiet;
    InitiateStruct(&gFtmAppContext);
    gSelected.clear();
  }
  void TearDown() override {
    ConsoleCapture quiet;
    CleanAllResources(&gFtmAppContext);
  }
  std::string Track(std::vector<BYTE> event) {
    event.resize(262, 0);
    ConsoleCapture console;
    TrackScoLink(event.data(), event[1] + 2, &handle_, kRecorder);
    return console.Finish();
  }
  bool GateOpen() { return WaitForSingleObject(gFtmAppContext.ScoRxStartEvent.load(), 0) == WAIT_OBJECT_0; }
  WORD handle_ = 0;
};

TEST_F(LinkTracking, SetUpAndTearDownOfTheRecordedLink) {
  // Synchronous Connection Complete, eSCO link type 2: recorded like SCO.
  EXPECT_EQ(Track({0x2C, 0x11, 0x00, 0x2B, 0x01, 1, 2, 3, 4, 5, 6, 0x02}), "New sco connection handle is 0x12b\n");
  EXPECT_EQ(handle_, 0x012B);
  // A Connection Complete for an ACL link or with an error records nothing.
  EXPECT_EQ(Track({0x03, 0x0B, 0x00, 0x01, 0x00, 1, 2, 3, 4, 5, 6, 0x01, 0}), "");
  EXPECT_EQ(Track({0x03, 0x0B, 0x04, 0x02, 0x00, 1, 2, 3, 4, 5, 6, 0x00, 0}), "");
  EXPECT_EQ(handle_, 0x012B);
  // Disconnection of another handle changes nothing.
  SetEvent(gFtmAppContext.ScoRxStartEvent.load());
  EXPECT_EQ(Track({0x05, 0x04, 0x00, 0x01, 0x00, 0x13}), "");
  EXPECT_TRUE(GateOpen());
  // Disconnection of the recorded link closes the gate and selects interface 0.
  EXPECT_EQ(Track({0x05, 0x04, 0x00, 0x2B, 0x01, 0x13}), "Sco connection 0x12b is disconnected\n");
  EXPECT_EQ(handle_, 0);
  EXPECT_FALSE(GateOpen());
  EXPECT_EQ(gSelected, std::vector<BYTE>{0});
}

TEST_F(LinkTracking, ConnectionCompleteForAnScoLinkAndTheLaterLinkWins) {
  EXPECT_EQ(Track({0x03, 0x0B, 0x00, 0x05, 0x00, 1, 2, 3, 4, 5, 6, 0x00, 0}), "New sco connection handle is 0x05\n");
  EXPECT_EQ(Track({0x2C, 0x11, 0x00, 0x06, 0x00}), "New sco connection handle is 0x06\n");
  EXPECT_EQ(Track({0x05, 0x04, 0x00, 0x05, 0x00, 0x13}), "");  // the first link: nothing
  EXPECT_EQ(handle_, 6);
}

TEST_F(LinkTracking, DisconnectionOfHandleZeroWithNoLinkCountsAsItsEnd) {
  SetEvent(gFtmAppContext.ScoRxStartEvent.load());
  EXPECT_EQ(Track({0x05, 0x04, 0x00, 0x00, 0x00, 0x13}), "Sco connection 0x00 is disconnected\n");
  EXPECT_FALSE(GateOpen());
  EXPECT_EQ(gSelected, std::vector<BYTE>{0});
}

TEST_F(ScoSelection, FailedSelectionOfZeroAtALinkEndKeepsTheOldInterface) {
  ASSERT_EQ(Select(1), "SelectScoInf: Select SCO Inf happened synchronously, dwError is 0\n");
  device_->SetScript([](const DeviceRequest&) { return DeviceAction::Complete(31); });
  WORD handle = 0x10;
  std::vector<BYTE> event = {0x05, 0x04, 0x00, 0x10, 0x00, 0x13};
  event.resize(262, 0);
  ConsoleCapture console;
  TrackScoLink(event.data(), 6, &handle, kDriverWriter);
  EXPECT_EQ(console.Finish(), "Sco connection 0x10 is disconnected\nSelectScoInf: Error:in default. Error -0x1F\n");
  EXPECT_EQ(currentScoInterface.load(), 1);
  EXPECT_FALSE(GateOpen());
  // A later packet of the same size selects nothing: its interface is still current.
  EXPECT_EQ(Select(1), "");
  EXPECT_FALSE(GateOpen());
}

}  // namespace
