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

static void ReleaseRecordEvent(FtmAppContext* ctx, OVERLAPPED* record, const wchar_t* failureMessage) {
  std::lock_guard<std::mutex> lock(ctx->recordEventLock);
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
  if (driver == nullptr || CloseHandle(driver)) return;
  ctx->hDriver.store(driver);
  print_message(L"BTFTM : Error in closing FTM Driver\n");
}

void CleanAllResources(FtmAppContext* ctx) {
  print_message(L"BTFTM : Cleaning all resources\n");
  ctx->exitFlag = 1;
  OpenScoGate(ctx);

  ReleaseThread(ctx->hEventThread);
  ReleaseDriver(ctx);
  ReleaseRecordEvent(ctx, &ctx->overlapFtmModeasync, L"BTFTM : Error in closing Overlapped event Handle\n");
  ReleaseRecordEvent(ctx, &ctx->overlapEventReadasync, L"BTFTM : Error in closing Overlapped Read event Handle\n");
  ReleaseRecordEvent(ctx, &ctx->overlapAclReadasync, L"BTFTM : Error in closing Overlapped Read acl Handle\n");
  ReleaseRecordEvent(ctx, &ctx->overlapScoReadasync, L"BTFTM : Error in closing Overlapped Read sco Handle\n");
  ReleaseThread(ctx->hAclThread);
  ReleaseThread(ctx->hScoThread);
  ReleaseThread(ctx->hFtmModeThread);
  ReleaseRecordEvent(ctx, &ctx->overlapAclWriteasync,
                     L"BTFTM : Error in closing Overlapped ACL write event Handle\n");
  ReleaseRecordEvent(ctx, &ctx->overlapScoWriteasync,
                     L"BTFTM : Error in closing Overlapped SCO write event Handle\n");
  ReleaseRecordEvent(ctx, &ctx->overlapCmdWriteasync,
                     L"BTFTM : Error in closing Overlapped CMD write event Handle\n");
  ReleaseEvent(&ctx->hFtmModeEvent, L"BTFTM : Error in closing FTM mode event Handle\n");
  ReleaseEvent(&ctx->ScoRxStartEvent, L"BTFTM : Error in closing sco rx start event Handle\n");
  print_message(L"BTFTM : All resources are freed\n");
}
