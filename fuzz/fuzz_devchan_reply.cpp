// The platform layer's parsing of device-channel replies: any datagram is either refused
// or read so that every field comes from its place and the payload lies inside it.
#include "fuzz_support.h"
#include "platform/posix/devchan_reply.h"

#include <cstring>
#include <memory>

using namespace tarnexio_posix;

static uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the datagram's size, so a read past it is caught.
  std::unique_ptr<uint8_t[]> datagram(new uint8_t[size > 0 ? size : 1]);
  if (size > 0) memcpy(datagram.get(), data, size);
  DevchanReply reply;
  const bool ok = ParseDevchanReply(size > 0 ? datagram.get() : nullptr, size, &reply);
  const bool wellFormed = size >= 8 && (Le32(data) == kDevchanPending || (Le32(data) == kDevchanComplete && size >= 16));
  FuzzCheck(ok == wellFormed, "accepted a malformed reply or refused a good one");
  if (!ok) return 0;
  FuzzCheck(reply.kind == Le32(data) && reply.id == Le32(data + 4), "kind or id misread");
  if (reply.kind == kDevchanComplete) {
    FuzzCheck(reply.status == Le32(data + 8), "status misread");
    FuzzCheck(reply.payload == datagram.get() + 16 && reply.payloadSize == size - 16, "payload misplaced");
  }
  // What the client builds parses as what it was built from.
  const uint32_t id = reply.id;
  FuzzBytes ioctl = BuildDevchanIoctl(id, reply.kind, (uint32_t)size, data, size);
  FuzzCheck(ioctl.size() == 16 + size && Le32(ioctl.data() + 4) == id, "built IOCTL misplaced");
  FuzzCheck(size == 0 || memcmp(ioctl.data() + 16, data, size) == 0, "built IOCTL input misplaced");
  return 0;
}
