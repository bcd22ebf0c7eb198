// SCO link tracking on the events the event reader reads: a new SCO or eSCO link is
// recorded; the end of the recorded link closes the SCO gate and deselects the interface.
#include "forward/sco_link.h"

#include "wire/hci.h"

void TrackScoLink(FtmAppContext* ctx, const BYTE* event, int length, WORD* scoConnectionHandle,
                  const DriverWriter& writer) {
  // The event buffer always holds the parameters the tests below read; a shorter event
  // reads as zeros there.
  auto at = [&](int i) -> BYTE { return i < length ? event[i] : 0; };
  BYTE code = at(0);
  BYTE status = at(2);
  WORD handle = (WORD)(at(3) | (at(4) << 8));
  if ((code == kEvSyncConnectionComplete && status == 0) ||
      (code == kEvConnectionComplete && status == 0 && at(11) == kLinkTypeSco)) {
    *scoConnectionHandle = handle;
    print_message(L"New sco connection handle is 0x%02x\n", (unsigned)handle);
    return;
  }
  if (code == kEvDisconnectionComplete && handle == *scoConnectionHandle) {
    print_message(L"Sco connection 0x%02x is disconnected\n", (unsigned)handle);
    *scoConnectionHandle = 0;
    HANDLE gate = ctx->ScoRxStartEvent.load();
    if (gate != nullptr) ResetEvent(gate);
    writer.selectScoInf(writer.context, 0);
  }
}
