// SCO link tracking on the events the event reader reads: a new SCO or eSCO link is
// recorded; the end of the recorded link closes the SCO gate and deselects the interface.
#include "forward/sco_link.h"

#include "wire/hci_packets.h"

namespace {

// The handle of the SCO or eSCO link a successful event brings up, if it is such an event.
bool NewScoLink(const HciEvent& event, WORD* handle) {
  SyncConnectionComplete sync;
  if (ReadSyncConnectionComplete(event, &sync)) {
    *handle = sync.handle;
    return sync.status == kHciStatusSuccess;  // both SCO and eSCO links
  }
  ConnectionComplete connection;
  if (ReadConnectionComplete(event, &connection)) {
    *handle = connection.handle;
    return connection.status == kHciStatusSuccess && connection.linkType == kLinkTypeSco;
  }
  return false;
}

}  // namespace

void TrackScoLink(ScoSelection* sco, const BYTE* packet, int length, WORD* scoConnectionHandle,
                  const DriverWriter& writer) {
  // An event shorter than the fields it must carry is none of these events.
  HciEvent event;
  if (length < 0 || !ReadHciEvent(packet, (size_t)length, &event)) return;
  WORD handle = 0;
  if (NewScoLink(event, &handle)) {
    *scoConnectionHandle = handle;
    print_message(L"New sco connection handle is 0x%02x\n", (unsigned)handle);
    return;
  }
  DisconnectionComplete end;
  // A failed disconnection leaves the link as it was.
  if (ReadDisconnectionComplete(event, &end) && end.status == kHciStatusSuccess &&
      end.handle == *scoConnectionHandle) {
    print_message(L"Sco connection 0x%02x is disconnected\n", (unsigned)end.handle);
    *scoConnectionHandle = 0;
    HANDLE gate = sco->ScoRxStartEvent.load();
    if (gate != nullptr) ResetEvent(gate);
    writer.selectScoInf(writer.context, 0);
  }
}
