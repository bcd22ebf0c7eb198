// The device channel's messages, both sides: any datagram is either refused or read so
// that every field comes from its place and the payload lies inside it; what one side
// builds the other parses back; the TCP form's length is read before anything else.
#include "fuzz_support.h"
#include "wire/devchan.h"

#include <cstring>
#include <memory>

using namespace wire;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the datagram's size, so a read past it is caught.
  std::unique_ptr<uint8_t[]> datagram(new uint8_t[size > 0 ? size : 1]);
  if (size > 0) memcpy(datagram.get(), data, size);
  const uint8_t* d = size > 0 ? datagram.get() : nullptr;
  const uint32_t kind = size >= 4 ? Le32(data) : 0;

  DevchanReply reply;
  const bool ok = ParseDevchanReply(d, size, &reply);
  // An offer's token: 16 bytes when there are that many, else 4, and not all zero.
  const size_t tokenSize = size >= 24 ? 16 : size >= 12 ? 4 : 0;
  bool tokenSet = false;
  for (size_t i = 0; i < tokenSize; ++i) tokenSet = tokenSet || data[8 + i] != 0;
  const bool offer = kind == kMsgOffer && tokenSet;
  const bool wellFormed =
      size >= 8 && (kind == kMsgPending || kind == kMsgAttached || offer || (kind == kMsgComplete && size >= 16));
  FuzzCheck(ok == wellFormed, "accepted a malformed reply or refused a good one");
  if (ok) {
    FuzzCheck(reply.kind == kind && reply.id == Le32(data + 4), "kind or id misread");
    if (reply.kind == kMsgOffer) {
      FuzzCheck(reply.token.size == tokenSize && memcmp(reply.token.bytes, data + 8, tokenSize) == 0, "token misread");
    }
    if (reply.kind == kMsgComplete) {
      FuzzCheck(reply.status == Le32(data + 8), "status misread");
      FuzzCheck(reply.payload == datagram.get() + 16 && reply.payloadSize == size - 16, "payload misplaced");
    }
  }

  DevchanRequest request;
  const DevchanParseResult parsed = ParseDevchanRequest(d, size, &request);
  const bool requestFormed = size >= 8 && (kind == kMsgCancel || (kind == kMsgIoctl && size >= 16 && Le32(data + 4) != 0));
  FuzzCheck((parsed == DevchanParseResult::Ok) == requestFormed, "accepted a malformed request or refused a good one");
  if (parsed == DevchanParseResult::Ok && request.kind == kMsgIoctl) {
    FuzzCheck(request.code == Le32(data + 8) && request.outSize == Le32(data + 12), "code or size misread");
    FuzzCheck(request.in == datagram.get() + 16 && request.inLen == size - 16, "input misplaced");
  }

  // What each side builds parses as what it was built from.
  const uint32_t id = size >= 8 ? Le32(data + 4) | 1 : 1;
  FuzzBytes ioctl = BuildDevchanIoctl(id, kind, (uint32_t)size, data, size);
  FuzzCheck(ParseDevchanRequest(ioctl.data(), ioctl.size(), &request) == DevchanParseResult::Ok &&
                request.id == id && request.code == kind && request.inLen == size &&
                (size == 0 || memcmp(request.in, data, size) == 0),
            "built IOCTL does not parse back");
  FuzzBytes complete = BuildDevchanComplete(id, kind, data, size);
  FuzzCheck(ParseDevchanReply(complete.data(), complete.size(), &reply) && reply.id == id && reply.status == kind &&
                reply.payloadSize == size && (size == 0 || memcmp(reply.payload, data, size) == 0),
            "built COMPLETE does not parse back");

  // A lane's token goes out in an OFFER and comes back in an ATTACH.
  LaneToken token;
  token.size = size >= 16 ? 16 : 4;
  for (size_t i = 0; i < token.size; ++i) token.bytes[i] = i < size ? data[i] : 0;
  token.bytes[0] |= 1;
  FuzzBytes offered = BuildDevchanOffer(token);
  FuzzCheck(ParseDevchanReply(offered.data(), offered.size(), &reply) && reply.kind == kMsgOffer &&
                reply.token == token,
            "built OFFER does not parse back");
  FuzzBytes attach = BuildDevchanAttach(token);
  FuzzCheck(DevchanAttachToken(attach.data(), attach.size()) == token, "built ATTACH does not give its token back");

  // The TCP form: a message is taken only when its length is within the bound and whole.
  size_t length = 0;
  const DevchanFrame frame = NextDevchanFrame(d, size, kMaxMessage, &length);
  if (size < 4) {
    FuzzCheck(frame == DevchanFrame::NeedMore, "a message without its whole length");
  } else if (Le32(data) > kMaxMessage) {
    FuzzCheck(frame == DevchanFrame::TooLong, "an overlong message taken");
  } else {
    FuzzCheck(frame == (size - 4 >= Le32(data) ? DevchanFrame::Message : DevchanFrame::NeedMore), "frame misjudged");
    FuzzCheck(frame != DevchanFrame::Message || length == Le32(data), "frame length misread");
  }
  return 0;
}
