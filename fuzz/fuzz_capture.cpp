// The capture reader (btsnoop, pcap, pcapng): every packet it gives lies inside the input,
// the offset only moves forward and stays inside it, and a pcap record is rebuilt byte
// for byte by the record writer; whatever it reports, nothing outside the input is read.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "wire/capture_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the input's size, so that the sanitizer sees any read past it.
  FuzzBytes input(data, data + size);
  CaptureReader reader;
  if (!CaptureReadStart(&reader, input.data(), input.size())) return 0;
  const uint8_t* begin = input.data();
  const uint8_t* end = begin + input.size();
  for (;;) {
    const size_t before = reader.offset;
    CaptureRecordView record;
    const CaptureReadResult result = CaptureReadNext(&reader, input.data(), input.size(), &record);
    FuzzCheck(reader.offset >= before, "the offset went back");
    if (result != CAPTURE_READ_RECORD) break;
    FuzzCheck(reader.offset > before && reader.offset <= input.size(), "record outside the input");
    FuzzCheck(record.length > 0 && record.packet >= begin && record.packet + record.length <= end,
              "packet outside the input");
    if (reader.format == CAPTURE_PCAP && record.unixMicros >= 0) {
      std::vector<uint8_t> rebuilt;
      AppendCaptureRecord(rebuilt, CAPTURE_PCAP, record.direction, record.packet[0], record.packet + 1,
                          record.length - 1, record.unixMicros, 0);
      FuzzCheck(rebuilt.size() == reader.offset - before &&
                    memcmp(rebuilt.data() + 16, input.data() + before + 16, rebuilt.size() - 16) == 0,
                "pcap record not rebuilt");
    }
  }
  return 0;
}
