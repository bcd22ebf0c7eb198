#include "forward/packet_bytes.h"

#include <cstring>

int PrependH4Type(BYTE* buffer, int length, BYTE type) {
  if (length > 0) memmove(buffer + 1, buffer, (size_t)length);
  buffer[0] = type;
  return length + 1;
}

int UnpackType2Reply(const BYTE* reply, int replyBytes, BYTE* event, int eventCapacity) {
  if (replyBytes < TYPE2_EVENT_HEADER) return -1;
  int count = replyBytes - TYPE2_EVENT_HEADER;
  if (count > eventCapacity) count = eventCapacity;
  if (count > 0) memcpy(event, reply + TYPE2_EVENT_HEADER, (size_t)count);
  return count;
}

int HciEventLength(const BYTE* event) { return event[1] + 2; }

int AclPacketLength(const BYTE* packet) { return (packet[2] | (packet[3] << 8)) + 4; }

bool AclPacketFitsRead(int packetLength) { return packetLength <= ACL_READ_SIZE; }

ScoSlot CutScoSlot(const BYTE* reply, int delivered, int unit, int index) {
  ScoSlot slot = {SCO_SLOT_ABSENT, index * wire::kScoUnitsPerSlot * unit, 0};
  int available = delivered - slot.offset;
  if (available > wire::kScoUnitsPerSlot * unit) available = wire::kScoUnitsPerSlot * unit;
  if (unit <= 0 || available < 3) return slot;
  const BYTE* start = reply + slot.offset;
  if (start[0] == 0 && start[1] == 0 && start[2] == 0) {
    slot.state = SCO_SLOT_EMPTY;
    return slot;
  }
  slot.length = start[2] + 3;
  slot.state = slot.length <= available ? SCO_SLOT_PACKET : SCO_SLOT_TOO_LONG;
  return slot;
}
