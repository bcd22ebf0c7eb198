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
static HANDLE TakeDriver(DriverRecord* record) {
  HANDLE driver = record->hDriver.load();
  while (driver != nullptr && driver != INVALID_HANDLE_VALUE) {
    if (record->hDriver.compare_exchange_weak(driver, nullptr)) return driver;
  }
  return nullptr;
}

// Signals the SCO gate so that a ScoThread waiting on it wakes and sees the exit flag.
static void OpenScoGate(ScoSelection* sco) {
  HANDLE gate = sco->ScoRxStartEvent.load();
  if (gate != nullptr && gate != INVALID_HANDLE_VALUE) SetEvent(gate);
}

void RunStopSequence(FtmAppContext* ctx, bool openScoGate) {
  ctx->exitFlag = 1;
  if (openScoGate) OpenScoGate(&ctx->sco);
  HANDLE driver = ctx->driver.hDriver.load();
  if (driver != nullptr && driver != INVALID_HANDLE_VALUE) CancelIoEx(driver, nullptr);
  CloseSocketOnce(&ctx->listenSocket, true);
  CloseSocketOnce(&ctx->host.clientSocket, true);
  HANDLE taken = TakeDriver(&ctx->driver);
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
static void ReleaseThread(const ReaderRecord& reader) {
  HANDLE h = reader.thread.load();
  if (h != nullptr) CloseHandle(h);
}

// True when the reader's thread has ended within waitMs (or was never started).
static bool ThreadEnded(const ReaderRecord& reader, DWORD waitMs) {
  HANDLE h = reader.thread.load();
  return h == nullptr || h == INVALID_HANDLE_VALUE || WaitForSingleObject(h, waitMs) == WAIT_OBJECT_0;
}

void AwaitReaders(FtmAppContext* ctx) {
  OpenScoGate(&ctx->sco);
  for (const ReaderRecord* reader : {&ctx->eventReader, &ctx->aclReader, &ctx->scoReader, &ctx->ftmMode.reader}) {
    ThreadEnded(*reader, READER_END_WAIT_MS);
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

// The event of a reader's record, closed only when its thread has ended: the event of a
// thread that did not end is left open, since that thread may still use it.
static void ReleaseReaderEvent(ReaderRecord* reader, const wchar_t* failureMessage) {
  if (ThreadEnded(*reader, 0)) ReleaseRecordEvent(&reader->overlap, failureMessage);
}

static void ReleaseDriver(DriverRecord* record) {
  HANDLE driver = TakeDriver(record);
  if (driver == nullptr) return;
  // The requests still pending end before the handle goes, so that the readers waiting on
  // them end now: a system that leaves them pending at the close (Wine does) would keep
  // the device open, held for the next run, and the clean-up waiting for its readers.
  CancelIoEx(driver, nullptr);
  if (CloseHandle(driver)) return;
  record->hDriver.store(driver);
  print_message(L"BTFTM : Error in closing FTM Driver\n");
}

void CleanAllResources(FtmAppContext* ctx) {
  print_message(L"BTFTM : Cleaning all resources\n");
  ctx->exitFlag = 1;
  OpenScoGate(&ctx->sco);

  ReleaseDriver(&ctx->driver);
  // With the driver closed every thread of the run ends; the event of a record is closed
  // once the thread that uses it has ended, never under it.
  AwaitReaders(ctx);
  ReleaseReaderEvent(&ctx->ftmMode.reader, L"BTFTM : Error in closing Overlapped event Handle\n");
  ReleaseReaderEvent(&ctx->eventReader, L"BTFTM : Error in closing Overlapped Read event Handle\n");
  ReleaseReaderEvent(&ctx->aclReader, L"BTFTM : Error in closing Overlapped Read acl Handle\n");
  ReleaseReaderEvent(&ctx->scoReader, L"BTFTM : Error in closing Overlapped Read sco Handle\n");
  ReleaseThread(ctx->eventReader);
  ReleaseThread(ctx->aclReader);
  ReleaseThread(ctx->scoReader);
  ReleaseThread(ctx->ftmMode.reader);
  ReleaseRecordEvent(&ctx->writes.acl, L"BTFTM : Error in closing Overlapped ACL write event Handle\n");
  ReleaseRecordEvent(&ctx->writes.sco, L"BTFTM : Error in closing Overlapped SCO write event Handle\n");
  ReleaseRecordEvent(&ctx->writes.command, L"BTFTM : Error in closing Overlapped CMD write event Handle\n");
  ReleaseEvent(&ctx->ftmMode.hFtmModeEvent, L"BTFTM : Error in closing FTM mode event Handle\n");
  ReleaseEvent(&ctx->sco.ScoRxStartEvent, L"BTFTM : Error in closing sco rx start event Handle\n");
  print_message(L"BTFTM : All resources are freed\n");
}
