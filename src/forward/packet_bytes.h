// The byte work of the reader threads: where packets lie in their read buffers, type 2
// event replies, ACL lengths and SCO slots. Plain functions over byte buffers.
//
// Every packet is read one byte into its buffer: the byte in front of it is where its H4
// type goes, so that the type byte and the packet leave in one send without a move.
#pragma once

#include "driver/ioctl.h"
#include "platform/platform.h"

enum {
  H4_HEADROOM = 1,                                         // the type byte's room in front of a read
  EVENT_BUFFER_SIZE = H4_HEADROOM + wire::kEventReadSize,  // the event read behind its headroom
  ACL_BUFFER_SIZE = H4_HEADROOM + wire::kAclReadSize,      // the ACL read behind its headroom
  SCO_MAX_UNIT = wire::kScoSlotUnit[wire::kMaxScoInterface],  // the largest slot unit
  SCO_REPLY_SIZE = wire::kScoReadUnits * SCO_MAX_UNIT,
  SCO_BUFFER_SIZE = H4_HEADROOM + SCO_REPLY_SIZE,          // the SCO read behind its headroom
};

// Where the event of a type 2 event reply of replyBytes bytes starts: behind the reply's
// header. -1 when the reply is too short to hold the header. The last header byte is the
// event's headroom once the reply has been dumped.
int Type2EventOffset(int replyBytes);

// An event's length (event code, parameter length byte, parameters) from its header; the
// buffer at event holds at least the header.
int HciEventLength(const BYTE* event);

// An ACL packet's length (header plus the data length field) from its header, of which
// available bytes are at packet; -1 when fewer than the header.
int AclPacketLength(const BYTE* packet, int available);

// True when an ACL packet of that length fits what the ACL read can deliver.
bool AclPacketFitsRead(int packetLength);

enum ScoSlotState {
  SCO_SLOT_PACKET,   // offset and length give the packet
  SCO_SLOT_EMPTY,    // the header's three bytes are zero
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
