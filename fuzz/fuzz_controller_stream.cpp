// ftmd's reader of a controller's stream: the first input byte picks the piece size and
// how often the host has no room; the rest is the stream. However it is cut and held back,
// it must give the packets of one whole feed, each well formed, and skip the same bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "controller_stream.h"
#include "fuzz_support.h"

namespace {

struct Outcome {
  std::vector<FuzzBytes> packets;
  uint64_t skipped;
  bool operator!=(const Outcome& o) const { return packets != o.packets || skipped != o.skipped; }
};

Outcome Run(const uint8_t* data, size_t size, size_t piece, unsigned noRoomEvery) {
  ftmd::ControllerStream stream;
  Outcome out;
  unsigned asks = 0;
  auto sink = [&](const uint8_t* p, size_t n) {
    const size_t header = H4HeaderSize(p[0]);
    FuzzCheck(header != 0 && n == 1 + header + H4PayloadSize(p[0], p + 1), "a packet is whole");
    FuzzCheck(p[0] != H4_ACL || n <= 5 + ftmd::kControllerAclMax, "an ACL packet fits a read");
    out.packets.emplace_back(p, p + n);
  };
  auto room = [&] { return noRoomEvery == 0 || ++asks % noRoomEvery != 0; };
  size_t pos = 0;
  while (pos < size) {
    const size_t end = pos + piece < size ? pos + piece : size;
    while (pos < end || stream.holdsInput()) pos += stream.feed(data + pos, end - pos, sink, room);
  }
  out.skipped = stream.skippedBytes();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t piece = 1 + data[0] % 16;
  const unsigned noRoomEvery = data[0] / 16 == 1 ? 2 : data[0] / 16;  // never "no room" for good
  FuzzCheck(!(Run(data + 1, size - 1, size, 0) != Run(data + 1, size - 1, piece, noRoomEvery)),
            "pieces and held-back reading give the packets of one feed");
  return 0;
}
