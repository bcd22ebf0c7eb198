// tarnexio-host's receiving and decoding: any byte stream, in either mode and cut into
// receives of any size, gives only whole controller packets, echoes that are frames, and
// a line and a JSON object for every item that is shown; the same items whatever the cuts.
#include "decode.h"
#include "fuzz_support.h"
#include "receive.h"

#include <fuzzer/FuzzedDataProvider.h>

namespace {

std::vector<host::Incoming> Receive(host::Mode mode, const FuzzBytes& stream, const std::vector<size_t>& cuts) {
  host::Receiver receiver(mode);
  std::vector<host::Incoming> items;
  size_t at = 0;
  for (size_t cut : cuts) {
    const size_t n = std::min(cut, stream.size() - at);
    receiver.Feed(stream.data() + at, n, &items);
    at += n;
  }
  receiver.Feed(stream.data() + at, stream.size() - at, &items);
  return items;
}

// The items as kind, type and bytes; in raw mode without the reports of stray bytes, whose
// runs the cuts may split.
std::vector<FuzzBytes> Shown(const std::vector<host::Incoming>& items, host::Mode mode) {
  std::vector<FuzzBytes> shown;
  for (const host::Incoming& item : items) {
    if (mode == host::Mode::RAW && item.kind == host::Incoming::PROBLEM) continue;
    FuzzBytes b = {(uint8_t)item.kind, item.type};
    b.insert(b.end(), item.bytes.begin(), item.bytes.end());
    shown.push_back(b);
  }
  return shown;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const host::Mode mode = in.ConsumeBool() ? host::Mode::DIAG : host::Mode::RAW;
  std::vector<size_t> cuts(in.ConsumeIntegralInRange<size_t>(0, 16));
  for (size_t& cut : cuts) cut = in.ConsumeIntegralInRange<size_t>(1, 64);
  const FuzzBytes stream = in.ConsumeRemainingBytes<uint8_t>();

  const std::vector<host::Incoming> items = Receive(mode, stream, cuts);
  const std::vector<host::Incoming> whole = Receive(mode, stream, {});
  FuzzCheck(Shown(items, mode) == Shown(whole, mode), "the cuts changed what was received");

  for (const host::Incoming& item : items) {
    const uint8_t* p = item.bytes.data();
    const size_t n = item.bytes.size();
    if (item.kind == host::Incoming::PACKET) {
      const size_t header = H4HeaderSize(item.type);
      FuzzCheck(header != 0 && n >= header && H4PayloadSize(item.type, p) == n - header, "a packet that is not whole");
    }
    if (item.kind == host::Incoming::ECHO) FuzzCheck(n >= 3 && p[n - 1] == 0x7E, "an echo that is not a frame");
    const host::Decoded d = host::DecodeIncoming(item);
    FuzzCheck(item.kind == host::Incoming::ECHO || (!d.text.empty() && d.json.size() >= 2 && d.json.front() == '{'),
              "an item without its line");
    FuzzCheck(d.text.find('\n') == std::string::npos && d.json.find('\n') == std::string::npos,
              "a line broken in two");
  }
  return 0;
}
