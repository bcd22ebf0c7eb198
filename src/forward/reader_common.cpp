#include "forward/reader_common.h"

#include "diag/diag.h"
#include "forward/packet_bytes.h"

void CreateReadEvent(FtmAppContext* ctx, OVERLAPPED* record, const ReaderLines& lines) {
  HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
  if (event == NULL) {
    print_message(lines.eventFailed);
    return;
  }
  SetRecordEvent(ctx, record, event);
}

bool ReaderRunning(const FtmAppContext* ctx) { return ctx->exitFlag.load() != 1; }

bool ReadFromDriver(FtmAppContext* ctx, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                    LPDWORD waitCount, OVERLAPPED* record, const RequestTexts& texts, const ReaderLines& lines) {
  DWORD count = 0;
  RequestResult result =
      RunOverlappedRequest(ctx->hDriver.load(), code, in, inSize, out, outSize, &count, waitCount, record, texts);
  if (result.outcome == REQUEST_DONE) return true;
  if (result.outcome == REQUEST_FAILED) ReportDriverError(result.error);
  // Without this a reader whose device has gone would fail its reads at full speed forever.
  if (result.outcome == REQUEST_FAILED && IsDeviceGoneError(result.error) && ReaderRunning(ctx)) {
    print_message(lines.deviceGone, result.error);
    RunStopSequence(ctx, true);
  }
  return false;
}

bool ForwardPacket(FtmAppContext* ctx, BYTE* buffer, int length, BYTE h4Type, WORD logCode, WORD tag, const ReaderLines& lines) {
  TapPacket(&ctx->tap, BTSNOOP_FROM_CONTROLLER, h4Type, buffer, length);
  if (ctx->diagMode.load() != 0) {
    BYTE* logPacket = BuildLogPacket(buffer, length, logCode, tag);
    if (logPacket == nullptr) {
      print_message(lines.noMemory);
      CountDrop(&ctx->tap.drops, DROP_NO_MEMORY);
      return false;
    }
    DiagPrintToStream(&ctx->host, logPacket, length + LOG_HEADER_SIZE, 1, 1);
    ReleaseLogPacket(logPacket);
    return true;
  }
  int total = PrependH4Type(buffer, length, h4Type);
  int sent = SendToTestHost(&ctx->host, buffer, total);
  if (sent == HOST_SEND_NO_SOCKET) {
    print_message(lines.noSocket);
  } else if (sent < 0) {
    print_message(lines.sendFailed);
  } else if (sent < total) {
    print_message(L"sent %d bytes, less than %d\n", sent, total);
  }
  return true;
}

DWORD EndReader(const ReaderLines& lines) {
  print_message(lines.exiting);
  print_message(lines.endLine);
  return 1;
}
