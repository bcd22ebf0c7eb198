// The event reader: keeps one event read pending, dumps each event, tracks the SCO link
// and forwards the event to the test host.
#include "forward/forward.h"

#include "core/hex_dump.h"
#include "diag/diag.h"
#include "forward/packet_bytes.h"
#include "forward/reader_common.h"
#include "forward/sco_link.h"

#include <cstring>

namespace {

const RequestTexts kEventReadTexts = {
    L"FTMApp:Read happened synchronously\n",
    L"BTFTM : EventThread Error:Invalid Parameter\n",
    L"\nFTMApp: Read:Error:Invalid Parameter\n",
    L"FTMApp:Read: GetOverlappedResult I/O Incomplete\n",
    L"FTMApp:Read:Error1: in deafult dwError=0x%X\n",
    L"BTFTM : EventThread Error:in default. Error -0x%X\n",
    L"BTFTM : EventThread: read Pending\n",
};

const ReaderLines kEventLines = {
    L"FtmApp:Read Thread: Error in Creating Overlapped event\n",
    L"BTFTM : EventThread, Can't find socket\n",
    L"BTFTM : EventThread, socket Send failed\n",
    L"BTFTM : EventThread, driver device is gone (Error -0x%X), stopping\n",
    L"BTFTM : App is exiting, coming out of read thread\n",
    L"BTFTM : EventThread--\n",
};

// Dumps a type 2 reply and returns where its event starts in it, or -1 when the reply is
// too short to carry an event.
int TakeType2Event(const BYTE* reply, DWORD replyBytes) {
  int n = replyBytes > wire::kEventReadSize ? int(wire::kEventReadSize) : int(replyBytes);
  print_message(L"BTFTM: READ:returned %d bytes\n", n);
  wchar_t items[wire::kEventReadSize * PREFIXED_HEX_ITEM_CHARS + 1];
  FormatHexItems(reply, n, true, items, (int)(sizeof(items) / sizeof(items[0])));
  print_message(L"Output bytes: %ls\n", items);
  const int offset = Type2EventOffset(n);
  if (offset < 0) print_message(L"BTFTM : EventThread, reply of %d bytes holds no event, dropped\n", n);
  return offset;
}

void DumpEvent(const BYTE* event, int length) {
  wchar_t items[wire::kEventReadSize * HEX_ITEM_CHARS + 1];
  FormatHexItems(event, length, false, items, (int)(sizeof(items) / sizeof(items[0])));
  print_message(L"\nBTFTM : HCIEvent(from btsoc) [%d]: %ls\n", length, items);
}

}  // namespace

DWORD WINAPI EventThread(LPVOID context) {
  FtmAppContext* ctx = static_cast<FtmAppContext*>(context);
  ReaderRecord* reader = &ctx->eventReader;
  // Both kinds of read go one byte in: the type byte goes in front of the event, into the
  // headroom, or for a type 2 reply into the last byte of the reply's header.
  BYTE buffer[EVENT_BUFFER_SIZE];
  BYTE* read = buffer + H4_HEADROOM;
  DWORD type2Input = wire::kType2EventInput;
  WORD scoConnectionHandle = 0;
  const DriverWriter writer = DriverWriterFor(ctx);
  DriverRequest request = ReaderRequest(reader, IOCTL_BTFTM_READ_EVENT, read, wire::kEventReadSize, kEventReadTexts);

  print_message(L"BTFTM : EventThread++\n");
  CreateReadEvent(reader, kEventLines);

  while (ReaderRunning(ctx)) {
    memset(buffer, 0, sizeof(buffer));
    // A type 1 driver reads the event itself; a type 2 driver is given an input and
    // answers with a header in front of the event.
    const bool type1 = ctx->driver.drvType.load() == DRV_TYPE_ZELDROVE;
    request.in = type1 ? nullptr : &type2Input;
    request.inSize = type1 ? 0 : sizeof(type2Input);
    ReadResult got = ReadFromDriver(ctx, request, kEventLines);
    if (got == READ_NOTHING) continue;
    const int offset = type1 ? 0 : TakeType2Event(read, reader->bytes);
    if (offset < 0) {
      CountDrop(&ctx->tap.drops, DROP_SHORT_REPLY);
      FinishRead(reader, got);
      continue;
    }
    BYTE* event = read + offset;
    int length = HciEventLength(event);
    DumpEvent(event, length);
    TrackScoLink(&ctx->sco, event, length, &scoConnectionHandle, writer);
    ForwardPacket(ctx, event, length, H4_EVENT, LOG_CODE_EVENT, LOG_TAG_EVENT, kEventLines);
    FinishRead(reader, got);
  }
  return EndReader(kEventLines);
}
