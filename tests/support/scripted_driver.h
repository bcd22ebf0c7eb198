// A fixture with its own context record, filled as start-up fills it, and its driver
// handle opened on a scripted device server named ZELDROVE.
#pragma once

#include "console_capture.h"
#include "device_double.h"
#include "test_record.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

inline HANDLE OpenScriptedDevice(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

class ScriptedDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = std::make_unique<tarnexio_test::DeviceDouble>("ZELDROVE");
    ctx_->driver.drvType = DRV_TYPE_ZELDROVE;
    OpenDriver();
  }
  void OpenDriver() {
    ctx_->driver.hDriver = OpenScriptedDevice(device_->DevicePath());
    ASSERT_NE(ctx_->driver.hDriver.load(), INVALID_HANDLE_VALUE);
  }
  bool GateOpen() { return WaitForSingleObject(ctx_->sco.ScoRxStartEvent.load(), 0) == WAIT_OBJECT_0; }

  tarnexio_test::TempDeviceDir dir_;
  std::unique_ptr<tarnexio_test::DeviceDouble> device_;
  TestRecord ctx_;  // after the device: it closes its handle while the device still serves
};
