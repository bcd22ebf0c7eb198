// The H4 parser: the first input byte picks the split size and policy; the rest is the
// stream. Fed whole and in pieces it must give the same packets, each one well formed,
// never longer than the buffer, and never more bytes than were given.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "wire/h4.h"

namespace {

std::vector<std::vector<uint8_t>> Run(const uint8_t* data, size_t size, size_t piece, int policy) {
  static uint8_t storage[300];
  H4Parser parser;
  H4Init(&parser, 0x3E, storage, sizeof storage);
  std::vector<std::vector<uint8_t>> packets;
  size_t pos = 0;
  while (pos < size) {
    size_t len = piece < size - pos ? piece : size - pos;
    const uint8_t* p = data + pos;
    pos += len;
    H4Result result;
    do {
      const size_t n = H4Feed(&parser, p, len, &result);
      if (n > len) __builtin_trap();
      p += n;
      len -= n;
      if (result == H4_PACKET) {
        const uint8_t* pk = parser.packet;
        if (parser.have > sizeof storage) __builtin_trap();
        const size_t header = H4HeaderSize(pk[0]);
        if (header == 0 || parser.have != 1 + header + H4PayloadSize(pk[0], pk + 1)) __builtin_trap();
        packets.emplace_back(pk, pk + parser.have);
      } else if (result == H4_TOO_LONG) {
        if (policy == 0) H4SkipPacket(&parser);
        if (policy == 1) H4Resync(&parser);
        if (policy == 2) H4Reset(&parser);
      }
    } while (result != H4_NEED_MORE);
    if (len != 0) __builtin_trap();
  }
  return packets;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t piece = 1 + data[0] % 16;
  const int policy = data[0] / 16 % 3;
  if (Run(data + 1, size - 1, size, policy) != Run(data + 1, size - 1, piece, policy)) __builtin_trap();
  return 0;
}
