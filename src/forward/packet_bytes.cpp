#include "forward/packet_bytes.h"

#include "wire/h4.h"
#include "wire/hci_packets.h"

int Type2EventOffset(int replyBytes) {
  const int header = int(wire::kType2HeaderSize);
  return replyBytes < header ? -1 : header;
}

int HciEventLength(const BYTE* event) { return int(H4HeaderSize(H4_EVENT) + H4PayloadSize(H4_EVENT, event)); }

int AclPacketLength(const BYTE* packet, int available) {
  AclHeader header;
  if (available < 0 || !ReadAclHeader(packet, (size_t)available, &header)) return -1;
  return int(H4HeaderSize(H4_ACL)) + header.dataLength;
}

bool AclPacketFitsRead(int packetLength) { return packetLength <= int(wire::kAclReadSize); }

ScoSlot CutScoSlot(const BYTE* reply, int delivered, int unit, int index) {
  ScoSlot slot = {SCO_SLOT_ABSENT, index * wire::kScoUnitsPerSlot * unit, 0};
  int available = delivered - slot.offset;
  if (available > wire::kScoUnitsPerSlot * unit) available = wire::kScoUnitsPerSlot * unit;
  ScoHeader header;
  if (unit <= 0 || available < 0 || !ReadScoHeader(reply + slot.offset, (size_t)available, &header)) return slot;
  if (header.handle == 0 && header.packetStatus == 0 && header.reserved == 0 && header.dataLength == 0) {
    slot.state = SCO_SLOT_EMPTY;
    return slot;
  }
  slot.length = int(H4HeaderSize(H4_SCO)) + header.dataLength;
  slot.state = slot.length <= available ? SCO_SLOT_PACKET : SCO_SLOT_TOO_LONG;
  return slot;
}
