// SCO link tracking by the event reader: which events record or end the link, and what
// the end of a link does to the gate and the driver's interface.
#include "forward/sco_link.h"
#include "recorders.h"
#include "scripted_driver.h"
#include "thread_state.h"
#include "wait_until.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <vector>

using tarnexio_test::DeviceAction;
using tarnexio_test::DeviceRequest;

namespace {

class LinkTracking : public ::testing::Test {
 protected:
  std::string Track(std::vector<BYTE> event) {
    event.resize(262, 0);
    ConsoleCapture console;
    TrackScoLink(&ctx_->sco, event.data(), event[1] + 2, &handle_, recorder_.writer());
    return console.Finish();
  }
  bool GateOpen() { return WaitForSingleObject(ctx_->sco.ScoRxStartEvent.load(), 0) == WAIT_OBJECT_0; }
  TestRecord ctx_;
  DriverWriteRecorder recorder_;
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
  SetEvent(ctx_->sco.ScoRxStartEvent.load());
  EXPECT_EQ(Track({0x05, 0x04, 0x00, 0x01, 0x00, 0x13}), "");
  EXPECT_TRUE(GateOpen());
  // Disconnection of the recorded link closes the gate and selects interface 0.
  EXPECT_EQ(Track({0x05, 0x04, 0x00, 0x2B, 0x01, 0x13}), "Sco connection 0x12b is disconnected\n");
  EXPECT_EQ(handle_, 0);
  EXPECT_FALSE(GateOpen());
  EXPECT_EQ(recorder_.writes(), (std::vector<RecordedWrite>{{'I', {0}}}));
}

TEST_F(LinkTracking, ConnectionCompleteForAnScoLinkAndTheLaterLinkWins) {
  EXPECT_EQ(Track({0x03, 0x0B, 0x00, 0x05, 0x00, 1, 2, 3, 4, 5, 6, 0x00, 0}), "New sco connection handle is 0x05\n");
  EXPECT_EQ(Track({0x2C, 0x11, 0x00, 0x06, 0x00}), "New sco connection handle is 0x06\n");
  EXPECT_EQ(Track({0x05, 0x04, 0x00, 0x05, 0x00, 0x13}), "");  // the first link: nothing
  EXPECT_EQ(handle_, 6);
}

TEST_F(LinkTracking, DisconnectionOfHandleZeroWithNoLinkCountsAsItsEnd) {
  SetEvent(ctx_->sco.ScoRxStartEvent.load());
  EXPECT_EQ(Track({0x05, 0x04, 0x00, 0x00, 0x00, 0x13}), "Sco connection 0x00 is disconnected\n");
  EXPECT_FALSE(GateOpen());
  EXPECT_EQ(recorder_.writes(), (std::vector<RecordedWrite>{{'I', {0}}}));
}

// Events that must not touch the recorded link (0x0006, gate open): failures, other links,
// and events too short for the fields that would make them a link event. Each one is
// given as the event reader has it: length from its own length byte, zeros behind.
TEST_F(LinkTracking, EventsThatLeaveTheRecordedLinkAlone) {
  const struct {
    const char* name;
    std::vector<BYTE> event;
  } cases[] = {
      {"failed Synchronous Connection Complete", {0x2C, 0x11, 0x0D, 0x09, 0x00, 1, 2, 3, 4, 5, 6, 0x02}},
      {"failed SCO Synchronous Connection Complete", {0x2C, 0x11, 0x04, 0x09, 0x00, 1, 2, 3, 4, 5, 6, 0x00}},
      {"failed Connection Complete for SCO", {0x03, 0x0B, 0x0D, 0x09, 0x00, 1, 2, 3, 4, 5, 6, 0x00, 0}},
      {"Connection Complete too short for its link type", {0x03, 0x03, 0x00, 0x09, 0x00}},
      {"Synchronous Connection Complete too short", {0x2C, 0x03, 0x00, 0x09, 0x00}},
      {"failed Disconnection Complete of the link", {0x05, 0x04, 0x0C, 0x06, 0x00, 0x13}},
      {"Disconnection Complete without its handle", {0x05, 0x01, 0x00}},
      {"Disconnection Complete of another link", {0x05, 0x04, 0x00, 0x07, 0x00, 0x13}},
      {"Command Complete", {0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00}},
  };
  ASSERT_EQ(Track({0x2C, 0x11, 0x00, 0x06, 0x00}), "New sco connection handle is 0x06\n");
  SetEvent(ctx_->sco.ScoRxStartEvent.load());
  for (const auto& c : cases) {
    EXPECT_EQ(Track(c.event), "") << c.name;
    EXPECT_EQ(handle_, 0x0006) << c.name;
    EXPECT_TRUE(GateOpen()) << c.name;
  }
  EXPECT_TRUE(recorder_.writes().empty());
  // The link still ends on the Disconnection Complete that succeeds.
  EXPECT_EQ(Track({0x05, 0x04, 0x00, 0x06, 0x00, 0x16}), "Sco connection 0x06 is disconnected\n");
  EXPECT_FALSE(GateOpen());
}

// A short Disconnection Complete with no link recorded is not taken for the end of a link
// of handle 0: only a whole event says which link ended.
TEST_F(LinkTracking, TruncatedDisconnectionWithNoLinkDoesNothing) {
  SetEvent(ctx_->sco.ScoRxStartEvent.load());
  std::vector<BYTE> event = {0x05, 0x02, 0x00, 0x00};
  ConsoleCapture console;
  TrackScoLink(&ctx_->sco, event.data(), 4, &handle_, recorder_.writer());
  EXPECT_EQ(console.Finish(), "");
  EXPECT_TRUE(GateOpen());
  EXPECT_TRUE(recorder_.writes().empty());
}

using LinkEndOnTheDriver = ScriptedDriverTest;

TEST_F(LinkEndOnTheDriver, FailedSelectionOfZeroKeepsTheOldInterface) {
  SelectScoInf(&ctx_->sco, &ctx_->driver, 1);
  ASSERT_EQ(ctx_->sco.currentScoInterface.load(), 1);
  device_->SetScript([](const DeviceRequest&) { return DeviceAction::Complete(31); });
  WORD handle = 0x10;
  std::vector<BYTE> event = {0x05, 0x04, 0x00, 0x10, 0x00, 0x13};
  event.resize(262, 0);
  ConsoleCapture console;
  TrackScoLink(&ctx_->sco, event.data(), 6, &handle, DriverWriterFor(ctx_.get()));
  EXPECT_EQ(console.Finish(), "Sco connection 0x10 is disconnected\nSelectScoInf: Error:in default. Error -0x1F\n");
  EXPECT_EQ(ctx_->sco.currentScoInterface.load(), 1);
  EXPECT_FALSE(GateOpen());
  // A later packet of the same size selects nothing: its interface is still current.
  SelectScoInf(&ctx_->sco, &ctx_->driver, 1);
  EXPECT_EQ(device_->Requests().size(), 2u);
  EXPECT_FALSE(GateOpen());
}

// The main thread selects an interface for an SCO packet while the event reader sees the
// recorded link end. The link end is never lost to the selection under way: the driver is
// given 0 last, the record says 0 and the gate is closed.
TEST_F(LinkEndOnTheDriver, LinkEndDuringASelectionDeselectsAfterIt) {
  device_->SetScript([](const DeviceRequest& r) {
    return r.input == std::vector<uint8_t>{2} ? DeviceAction::Hold() : DeviceAction::Complete(0);
  });
  auto selection = std::async(std::launch::async, [this] { SelectScoInf(&ctx_->sco, &ctx_->driver, 2); });
  ASSERT_TRUE(device_->WaitForRequests(1));  // the selection of 2 is in the driver

  std::atomic<pid_t> reader{0};
  auto linkEnd = std::async(std::launch::async, [this, &reader] {
    reader = tarnexio_test::CurrentThreadId();
    WORD handle = 0x10;
    std::vector<BYTE> event = {0x05, 0x04, 0x00, 0x10, 0x00, 0x13};
    event.resize(262, 0);
    TrackScoLink(&ctx_->sco, event.data(), 6, &handle, DriverWriterFor(ctx_.get()));
  });
  // The link end has been handled beside the held selection, or waits for it to end.
  EXPECT_TRUE(WaitUntil([&] {
    return linkEnd.wait_for(std::chrono::seconds(0)) == std::future_status::ready ||
           device_->Requests().size() >= 2 ||
           (reader.load() != 0 && tarnexio_test::ThreadIsBlocked(getpid(), reader.load(), SYS_futex));
  }));
  ASSERT_TRUE(device_->ReleaseHeld(device_->Requests()[0].id, 0));
  selection.get();
  linkEnd.get();

  const auto requests = device_->Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].input, std::vector<uint8_t>{0});
  EXPECT_EQ(ctx_->sco.currentScoInterface.load(), 0);
  EXPECT_FALSE(GateOpen());
}

}  // namespace
