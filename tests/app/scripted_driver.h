// A fixture with the context record filled as start-up fills it and its driver handle
// opened on a scripted device server named ZELDROVE.
#pragma once

#include "app/context.h"
#include "console_capture.h"
#include "device_double.h"

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
    ConsoleCapture quiet;
    InitiateStruct(&gFtmAppContext);
    gFtmAppContext.drvType = DRV_TYPE_ZELDROVE;
    currentScoInterface = 0;
    gFtmAppContext.hDriver = OpenScriptedDevice(device_->DevicePath());
    ASSERT_NE(gFtmAppContext.hDriver.load(), INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    ConsoleCapture quiet;
    RunStopSequence(&gFtmAppContext, false);
    CleanAllResources(&gFtmAppContext);
    currentScoInterface = 0;
  }

  tarnexio_test::TempDeviceDir dir_;
  std::unique_ptr<tarnexio_test::DeviceDouble> device_;
};
