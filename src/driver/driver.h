// Driver access: the overlapped request pattern, the three writes, SCO interface selection.
#pragma once

#include "core/context.h"
#include "driver/ioctl.h"

// The five messages of one kind of request (each a print_message format; every one is
// given the error number as its argument, which most do not print). invalidParamWait is
// the invalid-parameter text after a wait; the writes use invalidParam for both.
struct RequestTexts {
  const wchar_t* completedAtOnce;
  const wchar_t* invalidParam;
  const wchar_t* invalidParamWait;
  const wchar_t* incomplete;
  const wchar_t* waitError;
  const wchar_t* requestError;
  const wchar_t* pendingNote;  // printed before the wait (readers only), or nullptr
};

enum RequestOutcome {
  REQUEST_COMPLETED_AT_ONCE,  // TRUE from DeviceIoControl: message printed; count holds the bytes
  REQUEST_FAILED,             // an error was printed; error holds its number
  REQUEST_DONE,               // completed after a wait: the caller handles the data, then FinishRequest
};

struct RequestResult {
  RequestOutcome outcome;
  DWORD error;  // the error read after the call or the wait
};

// One driver request by the overlapped pattern: its control code, its input and output,
// the OVERLAPPED record of the thread that makes it, where its byte count goes and the
// messages of its outcomes.
struct DriverRequest {
  DWORD code;
  LPVOID in;
  DWORD inSize;
  LPVOID out;
  DWORD outSize;
  OVERLAPPED* record;  // its event is the requesting thread's own
  LPDWORD bytes;       // the count of bytes delivered, whether at once or after the wait
  const RequestTexts* texts;
};

// Runs one request on driver by the overlapped pattern: clears the record (not its
// event), issues it, waits for it when pending and prints the message of its outcome.
RequestResult RunOverlappedRequest(HANDLE driver, const DriverRequest& request);

// After a request has completed and its data is handled: reset the event of its record,
// if it has one.
void FinishRequest(OVERLAPPED* record);

// True for the errors that mean the driver device is gone for good.
bool IsDeviceGoneError(DWORD error);

// The three writes of the main thread. Each reports its own outcome and returns when
// the driver has completed the write.
void SendHciCmd(FtmAppContext* ctx, const BYTE* command, int length);
void SendAclData(FtmAppContext* ctx, const BYTE* packet, int length);
void SendScoData(FtmAppContext* ctx, const BYTE* packet, int length);

// Selects an SCO interface in the driver (synchronous form); records it in the selection
// and opens the SCO gate on success.
void SelectScoInf(ScoSelection* sco, const DriverRecord* driver, BYTE interfaceId);

// The interface id that an SCO packet of hciLen bytes asks for, or 0 for an unlisted size.
BYTE ScoInterfaceForLength(int hciLen);

// The seam through which the byte work reaches the driver: the demultiplexer and the
// diag responder write through it; tests and fuzzers give their own. Each call gets
// context back.
struct DriverWriter {
  void* context;
  void (*sendHciCmd)(void* context, const BYTE* command, int length);
  void (*sendAclData)(void* context, const BYTE* packet, int length);
  void (*sendScoData)(void* context, const BYTE* packet, int length);
  void (*selectScoInf)(void* context, BYTE interfaceId);
};

// The writer that reaches the driver of ctx through the functions above.
DriverWriter DriverWriterFor(FtmAppContext* ctx);

// The SCO packet rule: select the interface that hciLen asks for, or print
// "BTFTM: Invalid sco hciLen %d" for an unlisted size.
void ApplyScoPacketRule(int hciLen, const DriverWriter& writer);
