// The H4 grammar (packet type byte, header, payload) and one incremental parser over it.
//
// Every reader of an H4 byte stream in the project goes through here: the bridge's raw
// receive, ftmd's H4 clients and controller transports, the test hosts. What to do with
// bytes that cannot be a packet is the caller's policy: the parser reports them and the
// caller skips, closes or resynchronises.
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint8_t {
  H4_COMMAND = 0x01,  // host to controller
  H4_ACL = 0x02,      // both ways
  H4_SCO = 0x03,      // both ways
  H4_EVENT = 0x04,    // controller to host
  H4_ISO = 0x05,      // both ways; the bridge carries none
};

// Header bytes behind the type byte (command 3, ACL 4, SCO 3, event 2, ISO 4), or 0 for
// a byte that starts no packet.
size_t H4HeaderSize(uint8_t type);

// Payload bytes announced by a complete header of the given type.
size_t H4PayloadSize(uint8_t type, const uint8_t* header);

// The largest payload each header can announce (command 255, ACL 65535, SCO 255,
// event 255, ISO 16383): the bound of a parser that accepts every packet.
size_t H4MaxPayload(uint8_t type);

// What one call of H4Feed found.
enum H4Result {
  H4_NEED_MORE,   // all given bytes were taken; no packet is complete yet
  H4_PACKET,      // a whole packet is in parser->packet (type byte first)
  H4_BAD_TYPE,    // the byte parser->badByte starts no accepted packet; it was taken
  H4_TOO_LONG,    // the header in parser->packet announces more than the bound for its type
};

enum H4State {
  H4_WANT_TYPE,
  H4_WANT_HEADER,
  H4_WANT_PAYLOAD,
  H4_SKIPPING,  // letting a too-long packet's payload go as it arrives (H4SkipPacket)
};

// One parser per stream. Set it up with H4Init; it owns no memory of its own: packet is
// the caller's buffer of capacity bytes, which bounds every packet it takes.
struct H4Parser {
  uint8_t acceptMask;   // bit (1 << type) set for every packet type taken
  size_t maxPayload[6]; // per type; a larger payload gives H4_TOO_LONG
  uint8_t* packet;      // type byte, header, payload of the packet being read
  size_t capacity;
  H4State state;
  size_t have;          // bytes of the current packet in packet[]
  size_t need;          // bytes the current packet has when whole (known once the header is)
  size_t skipLeft;      // H4_SKIPPING: payload bytes still to let go
  uint8_t badByte;      // H4_BAD_TYPE: the byte
  uint8_t replay[8];    // bytes given back by H4Resync, read before new input
  size_t replayLen;
};

// acceptMask: the types taken (for example 1<<H4_COMMAND | 1<<H4_ACL | 1<<H4_SCO).
// maxPayload starts as the smaller of H4MaxPayload and what fits capacity; callers may
// lower it per type.
void H4Init(H4Parser* parser, uint8_t acceptMask, uint8_t* packet, size_t capacity);

// Takes bytes from data until something happens. Returns how many of the len bytes were
// taken; *result says what happened. With H4_PACKET the packet is parser->packet,
// parser->have bytes (type byte first), valid until the next call. Call again with the
// rest of the input (possibly none: bytes given back by H4Resync are read first) until the
// result is H4_NEED_MORE, which means every byte was taken.
size_t H4Feed(H4Parser* parser, const uint8_t* data, size_t len, H4Result* result);

// After H4_TOO_LONG, one of the three policies:
// let the packet's payload go as it arrives and continue behind it;
void H4SkipPacket(H4Parser* parser);
// or drop the type byte only and read the header bytes again as new input (a controller
// stream out of step: nothing valid behind the bad byte is lost);
void H4Resync(H4Parser* parser);
// or start over at a packet boundary, forgetting everything held (a stream that is closed).
void H4Reset(H4Parser* parser);

// True when the parser holds part of a packet (or bytes to skip or replay).
bool H4Busy(const H4Parser* parser);
