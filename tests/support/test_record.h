// A context record of a test's own.
#pragma once

#include "console_capture.h"
#include "core/context.h"

// A record as InitiateStruct leaves it (no console handler), cleaned up at the end of
// its scope as a run ends: the stop sequence, then the clean-up.
class TestRecord {
 public:
  TestRecord() {
    ConsoleCapture quiet;
    InitiateStruct(&ctx_, nullptr);
  }
  ~TestRecord() {
    ConsoleCapture quiet;
    RunStopSequence(&ctx_, false);
    CleanAllResources(&ctx_);
  }
  TestRecord(const TestRecord&) = delete;
  TestRecord& operator=(const TestRecord&) = delete;
  FtmAppContext* get() { return &ctx_; }
  FtmAppContext* operator->() { return &ctx_; }

 private:
  FtmAppContext ctx_;
};
