// The byte work of the reader threads: H4 framing, type 2 event replies, ACL lengths and
// SCO slots. Plain functions over byte buffers.
#pragma once

#include "driver/ioctl.h"
#include "platform/platform.h"

enum {
  EVENT_BUFFER_SIZE = EVENT_READ_SIZE,  // the event read's output; also room for the type byte
  ACL_BUFFER_SIZE = ACL_READ_SIZE + 1,  // the ACL read plus the type byte
  ACL_MAX_DATA = wire::kAclMaxData,     // the most data bytes the ACL read can deliver
  SCO_MAX_UNIT = wire::kScoSlotUnit[wire::kMaxScoInterface],  // the largest slot unit
  SCO_REPLY_SIZE = wire::kScoReadUnits * SCO_MAX_UNIT,
  SCO_SLOT_BUFFER_SIZE = wire::kScoUnitsPerSlot * SCO_MAX_UNIT + 1,  // one slot plus the type byte
};

// Moves the length bytes of buffer up by one and stores type in front. The buffer
// must have room for length + 1 bytes. Returns length + 1.
int PrependH4Type(BYTE* buffer, int length, BYTE type);

// Takes the event out of a type 2 event reply of replyBytes bytes (a header, then the
// event). Copies at most eventCapacity bytes to event and returns the count copied, or
// -1 when the reply is too short to hold the header (nothing is copied).
int UnpackType2Reply(const BYTE* reply, int replyBytes, BYTE* event, int eventCapacity);

// An event's length from its parameter length byte.
int HciEventLength(const BYTE* event);

// An ACL packet's length (4 header bytes plus the data length field).
int AclPacketLength(const BYTE* packet);

// True when an ACL packet of that length fits what the ACL read can deliver.
bool AclPacketFitsRead(int packetLength);

enum ScoSlotState {
  SCO_SLOT_PACKET,   // offset and length give the packet
  SCO_SLOT_EMPTY,    // the first three bytes are zero
  SCO_SLOT_ABSENT,   // the read did not deliver the slot's header
  SCO_SLOT_TOO_LONG  // the data length claims more than the slot or the read holds
};

struct ScoSlot {
  ScoSlotState state;
  int offset;  // of the slot in the reply
  int length;  // of the packet (data length + 3), also when it does not fit
};

// Cuts slot index (0..2) of an SCO reply read with slot unit unit, of which delivered
// bytes arrived. Slots are 3 * unit bytes long; nothing past delivered is looked at.
ScoSlot CutScoSlot(const BYTE* reply, int delivered, int unit, int index);
