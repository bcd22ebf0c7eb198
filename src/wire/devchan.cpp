#include "wire/devchan.h"

namespace wire {

bool LaneToken::Valid() const {
  for (size_t i = 0; i < size && i < kLaneTokenSize; ++i) {
    if (bytes[i] != 0) return true;
  }
  return false;
}

namespace {

// The token behind the header of an OFFER or ATTACH: 16 bytes when there are that many,
// else the 4 bytes of an earlier server's token.
LaneToken TokenAfterHeader(const uint8_t* data, size_t size) {
  LaneToken token;
  token.size = size >= kDevchanShortSize + kLaneTokenSize ? kLaneTokenSize : size >= 12 ? 4 : 0;
  if (token.size > 0) std::memcpy(token.bytes, data + kDevchanShortSize, token.size);
  return token;
}

}  // namespace

bool ParseDevchanReply(const uint8_t* data, size_t size, DevchanReply* reply) {
  if (data == nullptr || size < kDevchanShortSize) return false;
  DevchanReply r;
  r.kind = Le32(data);
  r.id = Le32(data + 4);
  if (r.kind == kMsgPending || r.kind == kMsgAttached) {
    *reply = r;
    return true;
  }
  if (r.kind == kMsgOffer) {
    r.token = TokenAfterHeader(data, size);
    if (!r.token.Valid()) return false;
    *reply = r;
    return true;
  }
  if (r.kind != kMsgComplete || size < kDevchanHeaderSize) return false;
  r.status = Le32(data + 8);
  r.payload = data + kDevchanHeaderSize;
  r.payloadSize = size - kDevchanHeaderSize;
  *reply = r;
  return true;
}

namespace {

std::vector<uint8_t> Header(uint32_t kind, uint32_t id, size_t reserve) {
  std::vector<uint8_t> out;
  out.reserve(reserve);
  PutLe32(out, kind);
  PutLe32(out, id);
  return out;
}

}  // namespace

std::vector<uint8_t> BuildDevchanIoctl(uint32_t id, uint32_t code, uint32_t outSize, const uint8_t* input,
                                       size_t inputSize) {
  std::vector<uint8_t> out = Header(kMsgIoctl, id, kDevchanHeaderSize + inputSize);
  PutLe32(out, code);
  PutLe32(out, outSize);
  if (inputSize > 0) out.insert(out.end(), input, input + inputSize);
  return out;
}

std::vector<uint8_t> BuildDevchanCancel(uint32_t id) { return Header(kMsgCancel, id, kDevchanShortSize); }

namespace {

std::vector<uint8_t> WithToken(uint32_t kind, const LaneToken& token) {
  std::vector<uint8_t> out = Header(kind, 0, kDevchanShortSize + token.size);
  out.insert(out.end(), token.bytes, token.bytes + token.size);
  return out;
}

}  // namespace

std::vector<uint8_t> BuildDevchanAttach(const LaneToken& token) { return WithToken(kMsgAttach, token); }

std::vector<uint8_t> BuildDevchanOffer(const LaneToken& token) { return WithToken(kMsgOffer, token); }

std::vector<uint8_t> BuildDevchanAttached() { return Header(kMsgAttached, 0, kDevchanShortSize); }

LaneToken DevchanAttachToken(const uint8_t* data, size_t size) {
  if (data == nullptr || size < 12 || Le32(data) != kMsgAttach) return LaneToken();
  return TokenAfterHeader(data, size);
}

DevchanParseResult ParseDevchanRequest(const uint8_t* data, size_t size, DevchanRequest* request) {
  if (data == nullptr || size < kDevchanShortSize) return DevchanParseResult::TooShort;
  DevchanRequest r;
  r.kind = Le32(data);
  r.id = Le32(data + 4);
  if (r.kind == kMsgCancel) {
    *request = r;
    return DevchanParseResult::Ok;
  }
  if (r.kind != kMsgIoctl) return DevchanParseResult::UnknownKind;
  if (size < kDevchanHeaderSize) return DevchanParseResult::TooShort;
  if (r.id == 0) return DevchanParseResult::ZeroId;
  r.code = Le32(data + 8);
  r.outSize = Le32(data + 12);
  r.in = data + kDevchanHeaderSize;
  r.inLen = size - kDevchanHeaderSize;
  *request = r;
  return DevchanParseResult::Ok;
}

const char* DevchanParseResultText(DevchanParseResult result) {
  switch (result) {
    case DevchanParseResult::Ok: return "ok";
    case DevchanParseResult::TooShort: return "a datagram too short for its kind";
    case DevchanParseResult::UnknownKind: return "a datagram of an unknown kind";
    case DevchanParseResult::ZeroId: return "an IOCTL with id 0";
  }
  return "?";
}

std::vector<uint8_t> BuildDevchanComplete(uint32_t id, uint32_t status, const uint8_t* output, size_t outputSize) {
  std::vector<uint8_t> out = Header(kMsgComplete, id, kDevchanHeaderSize + outputSize);
  PutLe32(out, status);
  PutLe32(out, 0);
  if (outputSize > 0) out.insert(out.end(), output, output + outputSize);
  return out;
}

std::vector<uint8_t> BuildDevchanPending(uint32_t id) { return Header(kMsgPending, id, kDevchanShortSize); }

std::vector<uint8_t> FrameDevchanMessage(const std::vector<uint8_t>& message) {
  std::vector<uint8_t> out;
  out.reserve(kDevchanLengthSize + message.size());
  PutLe32(out, uint32_t(message.size()));
  out.insert(out.end(), message.begin(), message.end());
  return out;
}

DevchanFrame NextDevchanFrame(const uint8_t* data, size_t size, size_t maxMessage, size_t* messageSize) {
  if (size < kDevchanLengthSize) return DevchanFrame::NeedMore;
  const uint32_t length = Le32(data);
  if (length > maxMessage) return DevchanFrame::TooLong;
  if (size - kDevchanLengthSize < length) return DevchanFrame::NeedMore;
  *messageSize = length;
  return DevchanFrame::Message;
}

}  // namespace wire
