// The raw demultiplexer fed an arbitrary byte stream in arbitrary receives, exactly as the
// receive loop feeds it. What it writes is compared with a plain reading of the whole
// stream: every complete packet once, whole and in order, no matter where the receives cut.
#include "fuzz_support.h"
#include "hostlink/raw_demux.h"
#include "wire/h4.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

struct Write {
  char kind;
  FuzzBytes bytes;
};
std::vector<Write>* g_writes = nullptr;

void Record(char kind, const BYTE* p, int n) {
  FuzzCheck(n >= 0, "negative write length");
  g_writes->push_back({kind, FuzzBytes(p, p + n)});
}
void OnCommand(void*, const BYTE* p, int n) { Record('C', p, n); }
void OnAcl(void*, const BYTE* p, int n) { Record('A', p, n); }
void OnSco(void*, const BYTE* p, int n) { Record('S', p, n); }
void OnSelect(void*, BYTE id) { FuzzCheck(id <= 7, "SCO interface id above 7"); }

const DriverWriter kRecorder = {nullptr, OnCommand, OnAcl, OnSco, OnSelect};

// The packets of the whole stream that are complete, skipping unknown type bytes and ACL
// packets too long for the receive buffer.
std::vector<Write> Expected(const FuzzBytes& s) {
  std::vector<Write> out;
  size_t i = 0;
  while (i < s.size()) {
    const int type = s[i];
    auto at = [&](size_t k) -> size_t { return k < s.size() ? s[k] : 0; };
    size_t size;
    char kind;
    if (type == H4_COMMAND) {
      size = at(i + 3) + 3, kind = 'C';
    } else if (type == H4_ACL) {
      size = at(i + 3) + 256 * at(i + 4) + 4, kind = 'A';
    } else if (type == H4_SCO) {
      size = at(i + 3) + 3, kind = 'S';
    } else {
      ++i;
      continue;
    }
    if (i + size >= s.size()) break;  // incomplete at the end (or header not there yet)
    if (1 + size > HOST_RECV_CAPACITY) {
      i += 1 + size;
      continue;
    }
    out.push_back({kind, FuzzBytes(s.begin() + (long)i + 1, s.begin() + (long)(i + 1 + size))});
    i += 1 + size;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SilenceConsole();
  FuzzedDataProvider in(data, size);
  std::vector<Write> writes;
  g_writes = &writes;
  // Exactly the data area plus its terminator: a read past it is caught.
  std::unique_ptr<BYTE[]> buf(new BYTE[HOST_RECV_CAPACITY + 1]);
  memset(buf.get(), 0, HOST_RECV_CAPACITY + 1);
  RawDemuxState state = {};
  int carry = 0;
  FuzzBytes stream;
  while (in.remaining_bytes() > 0) {
    const int room = HOST_RECV_CAPACITY - carry;
    const int want = in.ConsumeIntegralInRange<int>(1, room);
    FuzzBytes got = in.ConsumeBytes<uint8_t>((size_t)want);
    if (got.empty()) break;
    memset(buf.get() + carry, 0, (size_t)room);
    memcpy(buf.get() + carry, got.data(), got.size());
    const int total = carry + (int)got.size();
    buf[total] = 0;
    stream.insert(stream.end(), got.begin(), got.end());
    carry = DemuxRawPackets(buf.get(), total, &state, kRecorder);
    FuzzCheck(carry >= 0 && carry < HOST_RECV_CAPACITY, "carry out of range");
  }
  const std::vector<Write> expected = Expected(stream);
  FuzzCheck(writes.size() == expected.size(), "number of packets written differs from the stream");
  for (size_t i = 0; i < writes.size(); ++i) {
    FuzzCheck(writes[i].kind == expected[i].kind, "packet kind differs from the stream");
    FuzzCheck(writes[i].bytes == expected[i].bytes, "packet bytes differ from the stream");
  }
  g_writes = nullptr;
  return 0;
}
