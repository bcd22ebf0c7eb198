#include "wire/h4.h"

#include <algorithm>
#include <cstring>

size_t H4HeaderSize(uint8_t type) {
  switch (type) {
    case H4_COMMAND: return 3;  // opcode (2), parameter length (1)
    case H4_ACL: return 4;      // handle and flags (2), data length (2)
    case H4_SCO: return 3;      // handle and flags (2), data length (1)
    case H4_EVENT: return 2;    // event code (1), parameter length (1)
    case H4_ISO: return 4;      // handle and flags (2), data length (14 bits of 2)
    default: return 0;
  }
}

size_t H4PayloadSize(uint8_t type, const uint8_t* header) {
  switch (type) {
    case H4_COMMAND: return header[2];
    case H4_ACL: return size_t(header[2]) | size_t(header[3]) << 8;
    case H4_SCO: return header[2];
    case H4_EVENT: return header[1];
    case H4_ISO: return (size_t(header[2]) | size_t(header[3]) << 8) & 0x3FFF;
    default: return 0;
  }
}

size_t H4MaxPayload(uint8_t type) {
  switch (type) {
    case H4_ACL: return 0xFFFF;
    case H4_ISO: return 0x3FFF;
    case H4_COMMAND:
    case H4_SCO:
    case H4_EVENT: return 0xFF;
    default: return 0;
  }
}

void H4Init(H4Parser* parser, uint8_t acceptMask, uint8_t* packet, size_t capacity) {
  memset(parser, 0, sizeof *parser);
  parser->acceptMask = acceptMask;
  parser->packet = packet;
  parser->capacity = capacity;
  for (uint8_t type = 0; type < 6; ++type) {
    const size_t header = H4HeaderSize(type);
    if (header == 0 || capacity < 1 + header) {
      // A type whose header does not fit is never taken.
      parser->acceptMask &= uint8_t(~(1u << type));
      continue;
    }
    parser->maxPayload[type] = std::min(H4MaxPayload(type), capacity - 1 - header);
  }
  parser->state = H4_WANT_TYPE;
}

namespace {

// The next input byte range: replayed bytes first, then the caller's data.
struct Input {
  H4Parser* parser;
  const uint8_t* data;
  size_t len;
  size_t taken = 0;  // of data

  size_t available() const { return parser->replayLen + (len - taken); }

  // Copies up to max bytes to out (or drops them when out is null); returns the count.
  size_t take(uint8_t* out, size_t max) {
    size_t n = 0;
    if (parser->replayLen > 0) {
      n = std::min(max, parser->replayLen);
      if (out != nullptr) memcpy(out, parser->replay, n);
      memmove(parser->replay, parser->replay + n, parser->replayLen - n);
      parser->replayLen -= n;
      return n;
    }
    n = std::min(max, len - taken);
    if (out != nullptr) memcpy(out, data + taken, n);
    taken += n;
    return n;
  }
};

}  // namespace

size_t H4Feed(H4Parser* p, const uint8_t* data, size_t len, H4Result* result) {
  Input in{p, data, len};
  if (p->state == H4_WANT_TYPE) p->have = 0;  // the last packet was handed out, or nothing is held
  while (in.available() > 0) {
    switch (p->state) {
      case H4_WANT_TYPE: {
        uint8_t type;
        in.take(&type, 1);
        if (H4HeaderSize(type) == 0 || (p->acceptMask & (1u << type)) == 0) {
          p->badByte = type;
          *result = H4_BAD_TYPE;
          return in.taken;
        }
        p->packet[0] = type;
        p->have = 1;
        p->need = 1 + H4HeaderSize(type);
        p->state = H4_WANT_HEADER;
        break;
      }
      case H4_WANT_HEADER: {
        p->have += in.take(p->packet + p->have, p->need - p->have);
        if (p->have < p->need) break;
        const uint8_t type = p->packet[0];
        const size_t payload = H4PayloadSize(type, p->packet + 1);
        if (payload > p->maxPayload[type]) {
          // The header stays in packet[] for the caller's policy; by default it is let go.
          p->state = H4_WANT_TYPE;
          *result = H4_TOO_LONG;
          return in.taken;
        }
        p->need += payload;
        p->state = H4_WANT_PAYLOAD;
        if (payload == 0) {
          p->state = H4_WANT_TYPE;
          *result = H4_PACKET;
          return in.taken;
        }
        break;
      }
      case H4_WANT_PAYLOAD:
        p->have += in.take(p->packet + p->have, p->need - p->have);
        if (p->have == p->need) {
          p->state = H4_WANT_TYPE;
          *result = H4_PACKET;
          return in.taken;
        }
        break;
      case H4_SKIPPING:
        p->skipLeft -= in.take(nullptr, p->skipLeft);
        if (p->skipLeft == 0) p->state = H4_WANT_TYPE;
        break;
    }
  }
  if (p->state == H4_SKIPPING && p->skipLeft == 0) p->state = H4_WANT_TYPE;
  *result = H4_NEED_MORE;
  return in.taken;
}

void H4SkipPacket(H4Parser* p) {
  if (p->have < 1 || p->have != 1 + H4HeaderSize(p->packet[0])) return;
  p->skipLeft = H4PayloadSize(p->packet[0], p->packet + 1);
  p->state = p->skipLeft > 0 ? H4_SKIPPING : H4_WANT_TYPE;
  p->have = 0;
}

void H4Resync(H4Parser* p) {
  if (p->have < 2) return;
  // The header bytes go back in front of any bytes already waiting to be read again.
  const size_t back = p->have - 1;
  memmove(p->replay + back, p->replay, p->replayLen);
  memcpy(p->replay, p->packet + 1, back);
  p->replayLen += back;
  p->have = 0;
  p->state = H4_WANT_TYPE;
}

void H4Reset(H4Parser* p) {
  p->state = H4_WANT_TYPE;
  p->have = 0;
  p->need = 0;
  p->skipLeft = 0;
  p->replayLen = 0;
}

bool H4Busy(const H4Parser* p) {
  return p->state != H4_WANT_TYPE || p->replayLen > 0 || (p->have > 0 && p->have < p->need);
}
