// Ending a run: the stop sequence, the console control handler and the final clean-up.
#include "app/context.h"

bool CloseSocketOnce(std::atomic<SOCKET>* socketVar, bool shutdownFirst) {
  SOCKET s = socketVar->exchange(INVALID_SOCKET);
  if (s == INVALID_SOCKET) return false;
  if (shutdownFirst) shutdown(s, SD_BOTH);
  closesocket(s);
  return true;
}

void RunStopSequence(FtmAppContext* ctx, bool openScoGate) {
  ctx->exitFlag = 1;
  if (openScoGate) {
    HANDLE gate = ctx->ScoRxStartEvent.load();
    if (gate != nullptr && gate != INVALID_HANDLE_VALUE) SetEvent(gate);
  }
  HANDLE driver = ctx->hDriver.load();
  if (driver != nullptr && driver != INVALID_HANDLE_VALUE) CancelIoEx(driver, nullptr);
  CloseSocketOnce(&listenSocket, true);
  CloseSocketOnce(&clientSocket, true);
  // Whoever takes the handle out of the record closes it; a failed open stays as it is.
  driver = ctx->hDriver.load();
  while (driver != nullptr && driver != INVALID_HANDLE_VALUE) {
    if (ctx->hDriver.compare_exchange_weak(driver, nullptr)) {
      CloseHandle(driver);
      break;
    }
  }
}

BOOL WINAPI ConsoleCtrlHandler(DWORD ctrlType) {
  if (ctrlType == CTRL_C_EVENT || ctrlType == CTRL_BREAK_EVENT) {
    print_message(L"Signalling the main thread to exit..\n");
    RunStopSequence(&gFtmAppContext, true);
  }
  return TRUE;
}

// Closes one handle of the record; the field keeps its value on failure.
static void ReleaseField(std::atomic<HANDLE>* field, HANDLE closedValue, const wchar_t* failureMessage) {
  HANDLE h = field->load();
  if (h == nullptr) return;
  if (CloseHandle(h)) {
    field->store(closedValue);
  } else if (failureMessage != nullptr) {
    print_message(failureMessage);
  }
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
  HANDLE driver = ctx->hDriver.load();
  while (driver != nullptr && driver != INVALID_HANDLE_VALUE) {
    if (!ctx->hDriver.compare_exchange_weak(driver, nullptr)) continue;
    if (!CloseHandle(driver)) {
      ctx->hDriver.store(driver);
      print_message(L"BTFTM : Error in closing FTM Driver\n");
    }
    return;
  }
}

void CleanAllResources(FtmAppContext* ctx) {
  print_message(L"BTFTM : Cleaning all resources\n");
  ctx->exitFlag = 1;
  HANDLE gate = ctx->ScoRxStartEvent.load();
  if (gate != nullptr && gate != INVALID_HANDLE_VALUE) SetEvent(gate);

  ReleaseField(&ctx->hEventThread, ctx->hEventThread.load(), nullptr);
  ReleaseDriver(ctx);
  ReleaseRecordEvent(ctx, &ctx->overlapFtmModeasync, L"BTFTM : Error in closing Overlapped event Handle\n");
  ReleaseRecordEvent(ctx, &ctx->overlapEventReadasync, L"BTFTM : Error in closing Overlapped Read event Handle\n");
  ReleaseRecordEvent(ctx, &ctx->overlapAclReadasync, L"BTFTM : Error in closing Overlapped Read acl Handle\n");
  ReleaseRecordEvent(ctx, &ctx->overlapScoReadasync, L"BTFTM : Error in closing Overlapped Read sco Handle\n");
  ReleaseField(&ctx->hAclThread, ctx->hAclThread.load(), nullptr);
  ReleaseField(&ctx->hScoThread, ctx->hScoThread.load(), nullptr);
  ReleaseField(&ctx->hFtmModeThread, ctx->hFtmModeThread.load(), nullptr);
  ReleaseRecordEvent(ctx, &ctx->overlapAclWriteasync,
                     L"BTFTM : Error in closing Overlapped ACL write event Handle\n");
  ReleaseRecordEvent(ctx, &ctx->overlapScoWriteasync,
                     L"BTFTM : Error in closing Overlapped SCO write event Handle\n");
  ReleaseRecordEvent(ctx, &ctx->overlapCmdWriteasync,
                     L"BTFTM : Error in closing Overlapped CMD write event Handle\n");
  ReleaseField(&ctx->hFtmModeEvent, INVALID_HANDLE_VALUE, L"BTFTM : Error in closing FTM mode event Handle\n");
  ReleaseField(&ctx->ScoRxStartEvent, INVALID_HANDLE_VALUE, L"BTFTM : Error in closing sco rx start event Handle\n");
  print_message(L"BTFTM : All resources are freed\n");
}
