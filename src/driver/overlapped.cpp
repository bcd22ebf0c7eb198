// The overlapped request pattern that every asynchronous driver request follows.
#include "driver/driver.h"

RequestResult RunOverlappedRequest(HANDLE driver, const DriverRequest& request) {
  OVERLAPPED* record = request.record;
  const RequestTexts& texts = *request.texts;
  record->Internal = 0;
  record->InternalHigh = 0;
  record->Offset = 0;
  record->OffsetHigh = 0;

  BOOL done = DeviceIoControl(driver, request.code, request.in, request.inSize, request.out, request.outSize,
                              request.bytes, record);
  DWORD error = GetLastError();
  if (done) {
    print_message(texts.completedAtOnce, (int)error);
    return {REQUEST_COMPLETED_AT_ONCE, error};
  }
  if (error == ERROR_INVALID_PARAMETER) {
    print_message(texts.invalidParam, (int)error);
    return {REQUEST_FAILED, error};
  }
  if (error != ERROR_IO_PENDING) {
    print_message(texts.requestError, (unsigned)error);
    return {REQUEST_FAILED, error};
  }

  if (texts.pendingNote != nullptr) print_message(texts.pendingNote);
  if (GetOverlappedResult(driver, record, request.bytes, TRUE)) return {REQUEST_DONE, ERROR_SUCCESS};
  error = GetLastError();
  if (error == ERROR_INVALID_PARAMETER) {
    print_message(texts.invalidParamWait, (int)error);
  } else if (error == ERROR_IO_INCOMPLETE) {
    print_message(texts.incomplete, (int)error);
  } else {
    print_message(texts.waitError, (unsigned)error);
  }
  return {REQUEST_FAILED, error};
}

void FinishRequest(OVERLAPPED* record) {
  // The record's event is this thread's own: the clean-up closes it only once this thread
  // has ended.
  if (record->hEvent != nullptr) ResetEvent(record->hEvent);
}

bool IsDeviceGoneError(DWORD error) {
  return error == ERROR_INVALID_HANDLE || error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_DEVICE_REMOVED;
}
