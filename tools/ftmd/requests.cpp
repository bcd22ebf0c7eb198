#include "requests.h"

namespace ftmd {

const char* codeName(uint32_t code) {
  switch (code) {
    case kReadEvent: return "READ_EVENT";
    case kSendHciCmd: return "SEND_HCI_CMD";
    case kEnableFtm: return "ENABLE_FTM";
    case kSendAcl: return "SEND_ACL";
    case kReadAcl: return "READ_ACL";
    case kSendSco: return "SEND_SCO";
    case kReadSco: return "READ_SCO";
    case kSelectScoInf: return "SELECT_SCO_INF";
    default: return "?";
  }
}

ParseResult parseRequest(const uint8_t* data, size_t len, Request& out) {
  if (len < 8) return ParseResult::TooShort;
  Request r;
  r.kind = le32(data);
  r.id = le32(data + 4);
  if (r.kind == kMsgCancel) {
    out = r;
    return ParseResult::Ok;
  }
  if (r.kind != kMsgIoctl) return ParseResult::UnknownKind;
  if (len < 16) return ParseResult::TooShort;
  if (r.id == 0) return ParseResult::ZeroId;
  r.code = le32(data + 8);
  r.outSize = le32(data + 12);
  r.in = data + 16;
  r.inLen = len - 16;
  out = r;
  return ParseResult::Ok;
}

const char* parseResultText(ParseResult r) {
  switch (r) {
    case ParseResult::Ok: return "ok";
    case ParseResult::TooShort: return "a datagram too short for its kind";
    case ParseResult::UnknownKind: return "a datagram of an unknown kind";
    case ParseResult::ZeroId: return "an IOCTL with id 0";
  }
  return "?";
}

Bytes makeComplete(uint32_t id, uint32_t status, const uint8_t* output, size_t n) {
  Bytes b;
  b.reserve(16 + n);
  putLe32(b, kMsgComplete);
  putLe32(b, id);
  putLe32(b, status);
  putLe32(b, 0);
  if (n) b.insert(b.end(), output, output + n);
  return b;
}

Bytes makePending(uint32_t id) {
  Bytes b;
  putLe32(b, kMsgPending);
  putLe32(b, id);
  return b;
}

}  // namespace ftmd
