// A device served by a DeviceDouble in a private device directory, opened by the test.
// Every test runs twice: with a server that knows no lanes, and with one that offers
// them (then one request has gone through first, so that the client has taken the offer
// and every later request of a thread goes on that thread's lane).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "device_double.h"
#include "platform/platform.h"

class DeviceTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    server_ = std::make_unique<tarnexio_test::DeviceDouble>("DEV");
    server_->SetOfferLanes(GetParam());
    device_ = CreateFileW(server_->DevicePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(device_, INVALID_HANDLE_VALUE);
    if (GetParam()) {
      DWORD n = 0;
      ASSERT_TRUE(DeviceIoControl(device_, 0, nullptr, 0, nullptr, 0, &n, nullptr));
      server_->Forget();
    }
    event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ov_ = OVERLAPPED();
    ov_.hEvent = event_;
  }
  void TearDown() override {
    if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
    CloseHandle(event_);
    server_.reset();
  }
  bool EventSignalled() { return WaitForSingleObject(event_, 0) == WAIT_OBJECT_0; }
  // Waits (bounded) until the server has the request pending and returns its id.
  uint32_t PendingId(size_t requestCount) {
    EXPECT_TRUE(server_->WaitForRequests(requestCount));
    auto requests = server_->Requests();
    return requests.empty() ? 0 : requests.back().id;
  }

  tarnexio_test::TempDeviceDir dir_;
  std::unique_ptr<tarnexio_test::DeviceDouble> server_;
  HANDLE device_ = INVALID_HANDLE_VALUE;
  HANDLE event_ = nullptr;
  OVERLAPPED ov_;
};
