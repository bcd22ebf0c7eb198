#include "wire/capture_format.h"

#include "wire/ftm_contract.h"

#include <cstring>

namespace {

using wire::Le16;
using wire::Le32;
using wire::PutLe16;
using wire::PutLe32;

void PutLe64(std::vector<uint8_t>& out, uint64_t v) {
  PutLe32(out, uint32_t(v));
  PutLe32(out, uint32_t(v >> 32));
}
void Be32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}
void PutLe32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = uint8_t(v >> (8 * i));
}
uint64_t GetLe64(const uint8_t* in) { return uint64_t(Le32(in)) | uint64_t(Le32(in + 4)) << 32; }
uint32_t GetBe32(const uint8_t* in) { return uint32_t(in[0]) << 24 | uint32_t(in[1]) << 16 | uint32_t(in[2]) << 8 | in[3]; }

// pcapng: a block is opened with its type and a length filled in by CloseBlock.
size_t OpenBlock(std::vector<uint8_t>& out, uint32_t type) {
  const size_t start = out.size();
  PutLe32(out, type);
  PutLe32(out, 0);
  return start;
}
void CloseBlock(std::vector<uint8_t>& out, size_t start) {
  const uint32_t length = uint32_t(out.size() - start + 4);
  PutLe32(out, length);
  PutLe32(out.data() + start + 4, length);
}
void Pad(std::vector<uint8_t>& out) {
  while (out.size() % 4 != 0) out.push_back(0);
}
void Option(std::vector<uint8_t>& out, uint32_t code, const void* value, size_t length) {
  PutLe16(out, code);
  PutLe16(out, uint32_t(length));
  const uint8_t* bytes = static_cast<const uint8_t*>(value);
  out.insert(out.end(), bytes, bytes + length);
  Pad(out);
}
void Option64(std::vector<uint8_t>& out, uint32_t code, uint64_t value) {
  PutLe16(out, code);
  PutLe16(out, 8);
  PutLe64(out, value);
}
// A timestamp as pcapng puts it: the high 32 bits first.
void Timestamp(std::vector<uint8_t>& out, int64_t micros) {
  PutLe32(out, uint32_t(uint64_t(micros) >> 32));
  PutLe32(out, uint32_t(uint64_t(micros)));
}
void EndOptions(std::vector<uint8_t>& out) { PutLe32(out, 0); }

// pcapng option codes are numbered per block type, so equal numbers mean different options.
enum : uint32_t { OPT_SHB_USERAPPL = 4 };                  // section header: the writer
enum : uint32_t { OPT_IF_NAME = 2, OPT_IF_TSRESOL = 9 };    // interface description
enum : uint32_t { OPT_EPB_DROPCOUNT = 4 };                 // enhanced packet: drops before it
enum : uint32_t {                                          // interface statistics
  OPT_ISB_STARTTIME = 2, OPT_ISB_ENDTIME = 3, OPT_ISB_IFRECV = 4, OPT_ISB_IFDROP = 5 };
const size_t kPcapHeaderSize = 24, kPcapRecordHeaderSize = 16, kDirectionSize = 4;

}  // namespace

void AppendCaptureHeader(std::vector<uint8_t>& out, CaptureFormat format, const std::string& application) {
  switch (format) {
    case CAPTURE_BTSNOOP: {
      uint8_t header[BTSNOOP_FILE_HEADER_SIZE];
      BtsnoopFileHeader(header);
      out.insert(out.end(), header, header + sizeof header);
      return;
    }
    case CAPTURE_PCAP:
      PutLe32(out, PCAP_MAGIC);
      PutLe16(out, 2);
      PutLe16(out, 4);
      PutLe32(out, 0);  // UTC
      PutLe32(out, 0);
      PutLe32(out, 0x40000);  // more than the largest H4 packet
      PutLe32(out, LINKTYPE_H4_WITH_DIRECTION);
      return;
    case CAPTURE_PCAPNG: {
      size_t block = OpenBlock(out, PCAPNG_SECTION_HEADER);
      PutLe32(out, PCAPNG_BYTE_ORDER_MAGIC);
      PutLe16(out, 1);
      PutLe16(out, 0);
      PutLe64(out, ~uint64_t(0));  // section length not known
      Option(out, OPT_SHB_USERAPPL, application.data(), application.size());
      EndOptions(out);
      CloseBlock(out, block);
      block = OpenBlock(out, PCAPNG_INTERFACE_DESCRIPTION);
      PutLe16(out, LINKTYPE_H4_WITH_DIRECTION);
      PutLe16(out, 0);
      PutLe32(out, 0);  // no snapshot length
      const char name[] = "hci";
      Option(out, OPT_IF_NAME, name, sizeof name - 1);
      const uint8_t microseconds = 6;
      Option(out, OPT_IF_TSRESOL, &microseconds, 1);
      EndOptions(out);
      CloseBlock(out, block);
      return;
    }
  }
}

void AppendCaptureRecord(std::vector<uint8_t>& out, CaptureFormat format, BtsnoopDirection direction, uint8_t h4Type,
                         const uint8_t* packet, size_t length, int64_t unixMicros, uint64_t dropsSoFar) {
  const uint32_t h4Length = uint32_t(1 + length);
  if (format == CAPTURE_BTSNOOP) {
    uint8_t header[BTSNOOP_RECORD_HEADER_SIZE];
    const uint32_t drops = dropsSoFar > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(dropsSoFar);
    BtsnoopRecordHeader(header, h4Length, BtsnoopFlags(h4Type, direction), drops, BtsnoopTimestamp(unixMicros));
    out.insert(out.end(), header, header + sizeof header);
    out.push_back(h4Type);
    out.insert(out.end(), packet, packet + length);
    return;
  }
  const uint32_t captured = uint32_t(kDirectionSize + h4Length);
  size_t block = 0;
  if (format == CAPTURE_PCAP) {
    PutLe32(out, uint32_t(unixMicros / 1000000));
    PutLe32(out, uint32_t(unixMicros % 1000000));
    PutLe32(out, captured);
    PutLe32(out, captured);
  } else {
    block = OpenBlock(out, PCAPNG_ENHANCED_PACKET);
    PutLe32(out, 0);  // the one interface
    Timestamp(out, unixMicros);
    PutLe32(out, captured);
    PutLe32(out, captured);
  }
  Be32(out, direction == BTSNOOP_FROM_CONTROLLER ? 1 : 0);
  out.push_back(h4Type);
  out.insert(out.end(), packet, packet + length);
  if (format == CAPTURE_PCAPNG) {
    Pad(out);
    if (dropsSoFar > 0) {
      Option64(out, OPT_EPB_DROPCOUNT, dropsSoFar);
      EndOptions(out);
    }
    CloseBlock(out, block);
  }
}

void AppendCaptureEnd(std::vector<uint8_t>& out, CaptureFormat format, int64_t startMicros, int64_t endMicros,
                      uint64_t received, uint64_t dropped) {
  if (format != CAPTURE_PCAPNG) return;
  const size_t block = OpenBlock(out, PCAPNG_INTERFACE_STATISTICS);
  PutLe32(out, 0);
  Timestamp(out, endMicros);
  PutLe16(out, OPT_ISB_STARTTIME);
  PutLe16(out, 8);
  Timestamp(out, startMicros);
  PutLe16(out, OPT_ISB_ENDTIME);
  PutLe16(out, 8);
  Timestamp(out, endMicros);
  Option64(out, OPT_ISB_IFRECV, received);
  Option64(out, OPT_ISB_IFDROP, dropped);
  EndOptions(out);
  CloseBlock(out, block);
}

bool CaptureReadStart(CaptureReader* reader, const uint8_t* data, size_t len) {
  *reader = CaptureReader();
  if (BtsnoopCheckFileHeader(data, len)) {
    reader->format = CAPTURE_BTSNOOP;
    reader->offset = BTSNOOP_FILE_HEADER_SIZE;
    return true;
  }
  if (len >= kPcapHeaderSize && Le32(data) == PCAP_MAGIC) {
    reader->format = CAPTURE_PCAP;
    reader->offset = kPcapHeaderSize;
    return Le32(data + 20) == LINKTYPE_H4_WITH_DIRECTION;
  }
  if (len >= 28 && Le32(data) == PCAPNG_SECTION_HEADER && Le32(data + 8) == PCAPNG_BYTE_ORDER_MAGIC) {
    reader->format = CAPTURE_PCAPNG;
    reader->offset = 0;  // the section header is read as a block like the others
    return true;
  }
  return false;
}

namespace {

// The direction header and the packet behind it, captured bytes long.
CaptureReadResult DirectedPacket(const uint8_t* at, size_t captured, CaptureRecordView* record) {
  if (captured < kDirectionSize + 1) return CAPTURE_READ_BAD;
  const uint32_t direction = GetBe32(at);
  if (direction > 1) return CAPTURE_READ_BAD;
  record->direction = direction == 1 ? BTSNOOP_FROM_CONTROLLER : BTSNOOP_TO_CONTROLLER;
  record->packet = at + kDirectionSize;
  record->length = captured - kDirectionSize;
  return CAPTURE_READ_RECORD;
}

// The drop count among an enhanced packet block's options.
uint64_t DropCount(const uint8_t* options, size_t length) {
  size_t at = 0;
  while (at <= length && length - at >= 4) {
    const uint32_t code = Le16(options + at), size = Le16(options + at + 2);
    at += 4;
    if (code == 0 || length - at < size) break;
    if (code == OPT_EPB_DROPCOUNT && size == 8) return GetLe64(options + at);
    at += (size + 3) & ~size_t(3);
  }
  return 0;
}

void Statistics(CaptureReader* reader, const uint8_t* options, size_t length) {
  reader->statistics = true;
  size_t at = 0;
  while (at <= length && length - at >= 4) {
    const uint32_t code = Le16(options + at), size = Le16(options + at + 2);
    at += 4;
    if (code == 0 || length - at < size) break;
    if (code == OPT_ISB_IFRECV && size == 8) reader->received = GetLe64(options + at);
    if (code == OPT_ISB_IFDROP && size == 8) reader->dropped = GetLe64(options + at);
    at += (size + 3) & ~size_t(3);
  }
}

}  // namespace

CaptureReadResult CaptureReadNext(CaptureReader* reader, const uint8_t* data, size_t len, CaptureRecordView* record) {
  for (;;) {
    const size_t at = reader->offset;
    if (at >= len) return CAPTURE_READ_END;
    const uint8_t* p = data + at;
    const size_t left = len - at;
    if (reader->format == CAPTURE_BTSNOOP) {
      BtsnoopRecord r;
      size_t offset = at;
      switch (BtsnoopNextRecord(data, len, &offset, &r)) {
        case BTSNOOP_READ_RECORD: break;
        case BTSNOOP_READ_END: return CAPTURE_READ_END;
        case BTSNOOP_READ_TRUNCATED: return CAPTURE_READ_TRUNCATED;
        case BTSNOOP_READ_BAD: return CAPTURE_READ_BAD;
      }
      if (r.includedLength == 0 || r.timestamp < BTSNOOP_UNIX_EPOCH) return CAPTURE_READ_BAD;
      reader->offset = offset;
      record->direction = (r.flags & BTSNOOP_FLAG_RECEIVED) != 0 ? BTSNOOP_FROM_CONTROLLER : BTSNOOP_TO_CONTROLLER;
      record->packet = r.packet;
      record->length = r.includedLength;
      record->unixMicros = int64_t(r.timestamp - BTSNOOP_UNIX_EPOCH);
      record->drops = r.drops;
      return CAPTURE_READ_RECORD;
    }
    if (reader->format == CAPTURE_PCAP) {
      if (left < kPcapRecordHeaderSize) return CAPTURE_READ_TRUNCATED;
      const uint32_t captured = Le32(p + 8), original = Le32(p + 12), micros = Le32(p + 4);
      if (captured > original || micros >= 1000000) return CAPTURE_READ_BAD;
      if (left - kPcapRecordHeaderSize < captured) return CAPTURE_READ_TRUNCATED;
      const CaptureReadResult result = DirectedPacket(p + kPcapRecordHeaderSize, captured, record);
      if (result != CAPTURE_READ_RECORD) return result;
      record->unixMicros = int64_t(Le32(p)) * 1000000 + micros;
      record->drops = 0;
      reader->offset = at + kPcapRecordHeaderSize + captured;
      return CAPTURE_READ_RECORD;
    }
    // pcapng: a block of type, length, body and the length again.
    if (left < 12) return CAPTURE_READ_TRUNCATED;
    const uint32_t type = Le32(p), length = Le32(p + 4);
    if (length < 12 || length % 4 != 0) return CAPTURE_READ_BAD;
    if (left < length) return CAPTURE_READ_TRUNCATED;
    if (Le32(p + length - 4) != length) return CAPTURE_READ_BAD;
    const uint8_t* body = p + 8;
    const size_t bodyLength = length - 12;
    reader->offset = at + length;
    if (type == PCAPNG_SECTION_HEADER) {
      if (bodyLength < 16 || Le32(body) != PCAPNG_BYTE_ORDER_MAGIC) return CAPTURE_READ_BAD;
      reader->interfaceSeen = false;
      continue;
    }
    if (type == PCAPNG_INTERFACE_DESCRIPTION) {
      if (bodyLength < 8 || reader->interfaceSeen || Le16(body) != LINKTYPE_H4_WITH_DIRECTION) return CAPTURE_READ_BAD;
      reader->interfaceSeen = true;
      continue;
    }
    if (type == PCAPNG_INTERFACE_STATISTICS) {
      if (bodyLength < 12) return CAPTURE_READ_BAD;
      Statistics(reader, body + 12, bodyLength - 12);
      continue;
    }
    if (type != PCAPNG_ENHANCED_PACKET) continue;
    if (!reader->interfaceSeen || bodyLength < 20 || Le32(body) != 0) return CAPTURE_READ_BAD;
    const uint32_t captured = Le32(body + 12), original = Le32(body + 16);
    const size_t padded = (size_t(captured) + 3) & ~size_t(3);
    if (captured > original || bodyLength - 20 < padded) return CAPTURE_READ_BAD;
    const CaptureReadResult result = DirectedPacket(body + 20, captured, record);
    if (result != CAPTURE_READ_RECORD) return result;
    record->unixMicros = int64_t(uint64_t(Le32(body + 4)) << 32 | Le32(body + 8));
    record->drops = DropCount(body + 20 + padded, bodyLength - 20 - padded);
    return CAPTURE_READ_RECORD;
  }
}
