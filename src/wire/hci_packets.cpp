#include "wire/hci_packets.h"

#include "wire/ftm_contract.h"
#include "wire/h4.h"

namespace {

// The parameter bytes each event's fields take.
constexpr size_t kConnectionCompleteParams = 11;
constexpr size_t kSyncConnectionCompleteParams = 17;
constexpr size_t kDisconnectionCompleteParams = 4;
constexpr size_t kCommandCompleteParams = 3;  // without the return parameters
constexpr size_t kCompletedPacketsPair = 4;

// The parameters of event when it is of code and holds at least size of them.
const uint8_t* ParamsOf(const HciEvent& event, uint8_t code, size_t size) {
  return event.code == code && event.paramLength >= size ? event.params : nullptr;
}

// The handle in the low 12 bits of a data packet's first field, the flags above it.
constexpr uint16_t kHandleMask = 0x0FFF;
uint8_t FlagsAt(uint16_t field, int shift) { return uint8_t(field >> shift & 0x3); }

}  // namespace

bool ReadHciEvent(const uint8_t* packet, size_t length, HciEvent* event) {
  const size_t header = H4HeaderSize(H4_EVENT);
  if (packet == nullptr || length < header || length - header < H4PayloadSize(H4_EVENT, packet)) return false;
  event->code = packet[0];
  event->paramLength = uint8_t(H4PayloadSize(H4_EVENT, packet));
  event->params = packet + header;
  return true;
}

bool ReadConnectionComplete(const HciEvent& event, ConnectionComplete* view) {
  const uint8_t* p = ParamsOf(event, kEvConnectionComplete, kConnectionCompleteParams);
  if (p == nullptr) return false;
  view->status = p[0];
  view->handle = wire::Le16(p + 1);
  view->peerAddress = p + 3;
  view->linkType = p[9];
  view->encryptionEnabled = p[10];
  return true;
}

bool ReadSyncConnectionComplete(const HciEvent& event, SyncConnectionComplete* view) {
  const uint8_t* p = ParamsOf(event, kEvSyncConnectionComplete, kSyncConnectionCompleteParams);
  if (p == nullptr) return false;
  view->status = p[0];
  view->handle = wire::Le16(p + 1);
  view->peerAddress = p + 3;
  view->linkType = p[9];
  view->transmissionInterval = p[10];
  view->retransmissionWindow = p[11];
  view->rxPacketLength = wire::Le16(p + 12);
  view->txPacketLength = wire::Le16(p + 14);
  view->airMode = p[16];
  return true;
}

bool ReadDisconnectionComplete(const HciEvent& event, DisconnectionComplete* view) {
  const uint8_t* p = ParamsOf(event, kEvDisconnectionComplete, kDisconnectionCompleteParams);
  if (p == nullptr) return false;
  view->status = p[0];
  view->handle = wire::Le16(p + 1);
  view->reason = p[3];
  return true;
}

bool ReadCommandComplete(const HciEvent& event, CommandComplete* view) {
  const uint8_t* p = ParamsOf(event, kEvCommandComplete, kCommandCompleteParams);
  if (p == nullptr) return false;
  view->numCommandPackets = p[0];
  view->opcode = wire::Le16(p + 1);
  view->returnParams = p + kCommandCompleteParams;
  view->returnLength = event.paramLength - kCommandCompleteParams;
  return true;
}

bool ReadNumCompletedPackets(const HciEvent& event, NumCompletedPackets* view) {
  const uint8_t* p = ParamsOf(event, kEvNumCompletedPackets, 1);
  if (p == nullptr || size_t(event.paramLength - 1) < p[0] * kCompletedPacketsPair) return false;
  view->numHandles = p[0];
  view->entries = p + 1;
  return true;
}

CompletedPackets CompletedPacketsAt(const NumCompletedPackets& view, int index) {
  if (index < 0 || index >= view.numHandles) return CompletedPackets{0, 0};
  const uint8_t* pair = view.entries + size_t(index) * kCompletedPacketsPair;
  return CompletedPackets{wire::Le16(pair), wire::Le16(pair + 2)};
}

bool ReadAclHeader(const uint8_t* packet, size_t length, AclHeader* header) {
  if (packet == nullptr || length < H4HeaderSize(H4_ACL)) return false;
  const uint16_t field = wire::Le16(packet);
  header->handle = field & kHandleMask;
  header->packetBoundary = FlagsAt(field, 12);
  header->broadcast = FlagsAt(field, 14);
  header->dataLength = uint16_t(H4PayloadSize(H4_ACL, packet));
  return true;
}

bool ReadScoHeader(const uint8_t* packet, size_t length, ScoHeader* header) {
  if (packet == nullptr || length < H4HeaderSize(H4_SCO)) return false;
  const uint16_t field = wire::Le16(packet);
  header->handle = field & kHandleMask;
  header->packetStatus = FlagsAt(field, 12);
  header->reserved = FlagsAt(field, 14);
  header->dataLength = uint8_t(H4PayloadSize(H4_SCO, packet));
  return true;
}
