#include "forward/reader_common.h"

#include "diag/diag.h"
#include "forward/packet_bytes.h"

void CreateReadEvent(ReaderRecord* reader, const ReaderLines& lines) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    print_message(lines.eventFailed);
    return;
  }
  SetRecordEvent(&reader->overlap, event);
}

bool ReaderRunning(const FtmAppContext* ctx) { return ctx->exitFlag.load() != 1; }

DriverRequest ReaderRequest(ReaderRecord* reader, DWORD code, LPVOID out, DWORD outSize, const RequestTexts& texts) {
  return {code, nullptr, 0, out, outSize, &reader->overlap, &reader->bytes, &texts};
}

ReadResult ReadFromDriver(FtmAppContext* ctx, const DriverRequest& request, const ReaderLines& lines) {
  RequestResult result = RunOverlappedRequest(ctx->driver.hDriver.load(), request);
  if (result.outcome == REQUEST_DONE) return READ_WAITED;
  // The data of a read the driver answered from what it already held is as good as that
  // of one it answered later; its count came back with the call.
  if (result.outcome == REQUEST_COMPLETED_AT_ONCE) return READ_AT_ONCE;
  if (result.outcome == REQUEST_FAILED) ReportDriverError(result.error);
  // Without this a reader whose device has gone would fail its reads at full speed forever.
  if (result.outcome == REQUEST_FAILED && IsDeviceGoneError(result.error) && ReaderRunning(ctx)) {
    print_message(lines.deviceGone, result.error);
    RunStopSequence(ctx, true);
  }
  return READ_NOTHING;
}

void FinishRead(ReaderRecord* reader, ReadResult result) {
  if (result == READ_WAITED) FinishRequest(&reader->overlap);
}

namespace {

// A controller packet's record, made under the send lock so that the capture has the
// packets in the order the test host gets them.
struct ForwardedPacket {
  PacketTap* tap;
  BYTE h4Type;
  const BYTE* packet;
  int length;
};

void TapForwarded(void* context) {
  const ForwardedPacket* p = static_cast<const ForwardedPacket*>(context);
  TapPacket(p->tap, BTSNOOP_FROM_CONTROLLER, p->h4Type, p->packet, p->length);
}

}  // namespace

void ForwardPacket(FtmAppContext* ctx, BYTE* packet, int length, BYTE h4Type, WORD logCode, WORD tag,
                   const ReaderLines& lines) {
  ForwardedPacket forwarded = {&ctx->tap, h4Type, packet, length};
  const HostSendNote note = {TapForwarded, &forwarded};
  if (ctx->diagMode.load() != 0) {
    DiagSendLogPacket(&ctx->host, packet, length, logCode, tag, &note);
    return;
  }
  // The type byte goes into the headroom in front of the packet: the two leave as one.
  BYTE* h4Packet = packet - H4_HEADROOM;
  h4Packet[0] = h4Type;
  const int total = length + H4_HEADROOM;
  const int sent = SendToTestHost(&ctx->host, h4Packet, total, &note);
  if (sent == HOST_SEND_NO_SOCKET) {
    print_message(lines.noSocket);
  } else if (sent < 0) {
    print_message(lines.sendFailed);
  } else if (sent < total) {
    print_message(L"sent %d bytes, less than %d\n", sent, total);
  }
}

DWORD EndReader(const ReaderLines& lines) {
  print_message(lines.exiting);
  print_message(lines.endLine);
  return 1;
}
