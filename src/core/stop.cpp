// Ending a run: the stop sequence and the final clean-up.
#include "core/context.h"

bool CloseSocketOnce(std::atomic<SOCKET>* socketVar, bool shutdownFirst) {
  SOCKET s = socketVar->exchange(INVALID_SOCKET);
  if (s == INVALID_SOCKET) return false;
  if (shutdownFirst) shutdown(s, SD_BOTH);
  closesocket(s);
  return true;
}

// Takes the open driver handle out of the record, so that whoever takes it closes it;
// nullptr when it is closed already or never opened (a failed open stays as it is).
static HANDLE TakeDriver(FtmAppContext* ctx) {
  HANDLE driver = ctx->hDriver.load();
  while (driver != nullptr && driver != INVALID_HANDLE_VALUE) {
    if (ctx->hDriver.compare_exchange_weak(driver, nullptr)) return driver;
  }
  return nullptr;
}

// Signals the SCO gate so that a ScoThread waiting on it wakes and sees the exit flag.
static void OpenScoGate(FtmAppContext* ctx) {
  HANDLE gate = ctx->ScoRxStartEvent.load();
  if (gate != nullptr && gate != INVALID_HANDLE_VALUE) SetEvent(gate);
}

void RunStopSequence(FtmAppContext* ctx, bool openScoGate) {
  ctx->exitFlag = 1;
  if (openScoGate) OpenScoGate(ctx);
  HANDLE driver = ctx->hDriver.load();
  if (driver != nullptr && driver != INVALID_HANDLE_VALUE) CancelIoEx(driver, nullptr);
  CloseSocketOnce(&ctx->listenSocket, true);
  CloseSocketOnce(&ctx->host.clientSocket, true);
  HANDLE taken = TakeDriver(ctx);
  if (taken != nullptr) CloseHandle(taken);
}

// Closes one event of the record: on success the field becomes INVALID_HANDLE_VALUE, on
// failure it keeps its value and the message is printed.
static void ReleaseEvent(std::atomic<HANDLE>* field, const wchar_t* failureMessage) {
  HANDLE h = field->load();
  if (h == nullptr) return;
  if (CloseHandle(h)) {
    field->store(INVALID_HANDLE_VALUE);
  } else {
    print_message(failureMessage);
  }
}

// Closing a thread handle does not stop the thread; the result is not looked at and the
// field keeps its value.
static void ReleaseThread(const std::atomic<HANDLE>& field) {
  HANDLE h = field.load();
  if (h != nullptr) CloseHandle(h);
}

// True when the thread has ended within waitMs (or was never started).
static bool ThreadEnded(const std::atomic<HANDLE>& thread, DWORD waitMs) {
  HANDLE h = thread.load();
  return h == nullptr || h == INVALID_HANDLE_VALUE || WaitForSingleObject(h, waitMs) == WAIT_OBJECT_0;
}

void AwaitReaders(FtmAppContext* ctx) {
  OpenScoGate(ctx);
  for (const std::atomic<HANDLE>* thread :
       {&ctx->hEventThread, &ctx->hAclThread, &ctx->hScoThread, &ctx->hFtmModeThread}) {
    ThreadEnded(*thread, READER_END_WAIT_MS);
  }
}

static void ReleaseRecordEvent(OVERLAPPED* record, const wchar_t* failureMessage) {
  HANDLE h = record->hEvent;
  if (h == nullptr) return;
  if (CloseHandle(h)) {
    record->hEvent = INVALID_HANDLE_VALUE;
  } else {
    print_message(failureMessage);
  }
}

static void ReleaseDriver(FtmAppContext* ctx) {
  HANDLE driver = TakeDriver(ctx);
  if (driver == nullptr) return;
  // The requests still pending end before the handle goes, so that the readers waiting on
  // them end now: a system that leaves them pending at the close (Wine does) would keep
  // the device open, held for the next run, and the clean-up waiting for its readers.
  CancelIoEx(driver, nullptr);
  if (CloseHandle(driver)) return;
  ctx->hDriver.store(driver);
  print_message(L"BTFTM : Error in closing FTM Driver\n");
}

void CleanAllResources(FtmAppContext* ctx) {
  print_message(L"BTFTM : Cleaning all resources\n");
  ctx->exitFlag = 1;
  OpenScoGate(ctx);

  ReleaseDriver(ctx);
  // With the driver closed every thread of the run ends; the event of a record is closed
  // once the thread that uses it has ended, never under it.
  AwaitReaders(ctx);
  if (ThreadEnded(ctx->hFtmModeThread, 0)) {
    ReleaseRecordEvent(&ctx->overlapFtmModeasync, L"BTFTM : Error in closing Overlapped event Handle\n");
  }
  if (ThreadEnded(ctx->hEventThread, 0)) {
    ReleaseRecordEvent(&ctx->overlapEventReadasync, L"BTFTM : Error in closing Overlapped Read event Handle\n");
  }
  if (ThreadEnded(ctx->hAclThread, 0)) {
    ReleaseRecordEvent(&ctx->overlapAclReadasync, L"BTFTM : Error in closing Overlapped Read acl Handle\n");
  }
  if (ThreadEnded(ctx->hScoThread, 0)) {
    ReleaseRecordEvent(&ctx->overlapScoReadasync, L"BTFTM : Error in closing Overlapped Read sco Handle\n");
  }
  ReleaseThread(ctx->hEventThread);
  ReleaseThread(ctx->hAclThread);
  ReleaseThread(ctx->hScoThread);
  ReleaseThread(ctx->hFtmModeThread);
  ReleaseRecordEvent(&ctx->overlapAclWriteasync,
                     L"BTFTM : Error in closing Overlapped ACL write event Handle\n");
  ReleaseRecordEvent(&ctx->overlapScoWriteasync,
                     L"BTFTM : Error in closing Overlapped SCO write event Handle\n");
  ReleaseRecordEvent(&ctx->overlapCmdWriteasync,
                     L"BTFTM : Error in closing Overlapped CMD write event Handle\n");
  ReleaseEvent(&ctx->hFtmModeEvent, L"BTFTM : Error in closing FTM mode event Handle\n");
  ReleaseEvent(&ctx->ScoRxStartEvent, L"BTFTM : Error in closing sco rx start event Handle\n");
  print_message(L"BTFTM : All resources are freed\n");
}
