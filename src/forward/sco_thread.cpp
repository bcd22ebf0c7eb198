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
    L"ScoThread, Allocating Memory DataToSendasLogPacketFor1366 failed\n",
    L"BTFTM : ScoThread, driver device is gone (Error -0x%X), stopping\n",
    L"BTFTM : App is exiting, coming out of SCO read thread\n",
    L"BTFTM : ScoThread--\n",
};

int CurrentSlotUnit(const FtmAppContext* ctx) {
  BYTE id = ctx->currentScoInterface.load();
  return id <= wire::kMaxScoInterface ? int(wire::kScoSlotUnit[id]) : 0;
}

void WaitForScoGate(FtmAppContext* ctx) { WaitForSingleObject(ctx->ScoRxStartEvent.load(), INFINITE); }

// Forwards the packets of one reply. Returns false when the thread has to end.
bool ForwardScoSlots(FtmAppContext* ctx, const BYTE* reply, int delivered, int unit) {
  BYTE slot[SCO_SLOT_BUFFER_SIZE];
  for (int i = 0; i < 3; ++i) {
    ScoSlot cut = CutScoSlot(reply, delivered, unit, i);
    if (cut.state == SCO_SLOT_TOO_LONG) {
      print_message(L"BTFTM : ScoThread, packet of %d bytes does not fit slot %d, dropped\n", cut.length, i);
      CountDrop(&ctx->tap.drops, DROP_OVERSIZED);
      continue;
    }
    if (cut.state != SCO_SLOT_PACKET) continue;
    memcpy(slot, reply + cut.offset, (size_t)cut.length);
    if (!ForwardPacket(ctx, slot, cut.length, H4_TYPE_SCO, LOG_CODE_SCO, LOG_TAG_SCO, kScoLines)) return false;
  }
  return true;
}

}  // namespace

DWORD WINAPI ScoThread(LPVOID context) {
  FtmAppContext* ctx = static_cast<FtmAppContext*>(context);
  OVERLAPPED* record = &ctx->overlapScoReadasync;
  BYTE reply[SCO_REPLY_SIZE];

  print_message(L"BTFTM: ScoThread++\n");
  CreateReadEvent(ctx, record, kScoLines);
  WaitForScoGate(ctx);

  while (ReaderRunning(ctx)) {
    // The unit that sizes the read also cuts its reply, whatever is selected meanwhile.
    int unit = CurrentSlotUnit(ctx);
    int readSize = wire::kScoReadUnits * unit;
    memset(reply, 0, sizeof(reply));
    ReadResult got = ReadFromDriver(ctx, IOCTL_BTFTM_READ_SCO, NULL, 0, reply, (DWORD)readSize, &ctx->scoBytesRead,
                                    record, kScoReadTexts, kScoLines);
    if (got != READ_NOTHING) {
      int delivered = ctx->scoBytesRead > (DWORD)readSize ? readSize : (int)ctx->scoBytesRead;
      if (!ForwardScoSlots(ctx, reply, delivered, unit)) return 1;
      FinishRead(ctx, record, got);
    }
    WaitForScoGate(ctx);
  }
  return EndReader(kScoLines);
}
