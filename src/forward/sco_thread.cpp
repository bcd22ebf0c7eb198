// The SCO reader: while the SCO gate is open, reads three slots sized by the current SCO
// interface and forwards every slot that holds a packet to the test host.
#include "forward/forward.h"

#include "diag/diag.h"
#include "forward/packet_bytes.h"
#include "forward/reader_common.h"

#include <cstring>

namespace {

const RequestTexts kScoReadTexts = {
    L"ScoThread:Read happened synchronously\n",
    L"BTFTM : ScoThread Error:Invalid Parameter\n",
    L"ScoThread: Read:Error:Invalid Parameter\n",
    L"ScoThread:Read: GetOverlappedResult I/O Incomplete\n",
    L"ScoThread:Read:Error1: in deafult dwError=0x%X\n",
    L"BTFTM : ScoThread Error:in default. Error -0x%X\n",
    nullptr,
};

const ReaderLines kScoLines = {
    L"FtmApp:ScoThread: Error in Creating Overlapped event\n",
    L"BTFTM : ScoThread, Can't find socket\n",
    L"BTFTM : ScoThread, socket Send failed\n",
    L"BTFTM : ScoThread, driver device is gone (Error -0x%X), stopping\n",
    L"BTFTM : App is exiting, coming out of SCO read thread\n",
    L"BTFTM : ScoThread--\n",
};

int CurrentSlotUnit(const ScoSelection* sco) {
  BYTE id = ScoInterfaceForRead(sco);
  return id <= wire::kMaxScoInterface ? int(wire::kScoSlotUnit[id]) : 0;
}

void WaitForScoGate(const ScoSelection* sco) { WaitForSingleObject(sco->ScoRxStartEvent.load(), INFINITE); }

// Forwards the packets of one reply, each where it lies: the byte in front of a slot
// (the reply's headroom, or the end of the slot before, which has gone already) takes
// its type byte.
void ForwardScoSlots(FtmAppContext* ctx, BYTE* reply, int delivered, int unit) {
  for (int i = 0; i < wire::kScoSlotsPerRead; ++i) {
    ScoSlot cut = CutScoSlot(reply, delivered, unit, i);
    if (cut.state == SCO_SLOT_TOO_LONG) {
      print_message(L"BTFTM : ScoThread, packet of %d bytes does not fit slot %d, dropped\n", cut.length, i);
      CountDrop(&ctx->tap.drops, DROP_OVERSIZED);
      continue;
    }
    if (cut.state != SCO_SLOT_PACKET) continue;
    ForwardPacket(ctx, reply + cut.offset, cut.length, H4_SCO, LOG_CODE_SCO, LOG_TAG_SCO, kScoLines);
  }
}

}  // namespace

DWORD WINAPI ScoThread(LPVOID context) {
  FtmAppContext* ctx = static_cast<FtmAppContext*>(context);
  ReaderRecord* reader = &ctx->scoReader;
  const ScoSelection* sco = &ctx->sco;
  BYTE buffer[SCO_BUFFER_SIZE];
  BYTE* reply = buffer + H4_HEADROOM;  // read one byte in: slot 0's type byte goes in front
  DriverRequest request = ReaderRequest(reader, IOCTL_BTFTM_READ_SCO, reply, 0, kScoReadTexts);

  print_message(L"BTFTM: ScoThread++\n");
  CreateReadEvent(reader, kScoLines);
  WaitForScoGate(sco);

  while (ReaderRunning(ctx)) {
    // The unit that sizes the read also cuts its reply, whatever is selected meanwhile.
    int unit = CurrentSlotUnit(sco);
    int readSize = wire::kScoReadUnits * unit;
    memset(buffer, 0, sizeof(buffer));
    request.outSize = (DWORD)readSize;
    ReadResult got = ReadFromDriver(ctx, request, kScoLines);
    if (got != READ_NOTHING) {
      int delivered = reader->bytes > (DWORD)readSize ? readSize : (int)reader->bytes;
      ForwardScoSlots(ctx, reply, delivered, unit);
      FinishRead(reader, got);
    }
    WaitForScoGate(sco);
  }
  return EndReader(kScoLines);
}
