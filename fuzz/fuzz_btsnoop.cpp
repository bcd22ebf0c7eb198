// The btsnoop reader: every record it gives lies inside the input and moves the offset
// forward; a record whose lengths agree is rebuilt byte for byte by the record writer;
// whatever it reports, nothing outside the input is read.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "wire/btsnoop.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the input's size, so that the sanitizer sees any read past it.
  FuzzBytes input(data, data + size);
  BtsnoopCheckFileHeader(input.data(), input.size());
  size_t offset = 0;
  BtsnoopRecord record;
  for (;;) {
    const size_t before = offset;
    const BtsnoopReadResult result = BtsnoopNextRecord(input.data(), input.size(), &offset, &record);
    if (result != BTSNOOP_READ_RECORD) {
      FuzzCheck(offset == before, "the offset moved without a record");
      FuzzCheck(result != BTSNOOP_READ_END || before >= input.size(), "end before the input's end");
      break;
    }
    FuzzCheck(offset > before && offset <= input.size(), "record outside the input");
    FuzzCheck(record.packet + record.includedLength == input.data() + offset, "packet not at the record's end");
    FuzzCheck(record.includedLength <= record.originalLength, "included length above the original");
    if (BtsnoopRecordIsWholePacket(record)) {
      uint8_t header[BTSNOOP_RECORD_HEADER_SIZE];
      BtsnoopRecordHeader(header, record.includedLength, record.flags, record.drops, record.timestamp);
      FuzzCheck(memcmp(header, input.data() + before, sizeof header) == 0, "record header not rebuilt");
      FuzzCheck(record.flags == BtsnoopFlags(record.packet[0], BtsnoopDirection(record.flags & 1)),
                "whole packet with flags not its own");
    }
  }
  return 0;
}
