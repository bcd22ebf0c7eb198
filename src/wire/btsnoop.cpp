#include "wire/btsnoop.h"

#include "wire/h4.h"

#include <cstring>

namespace {

const uint8_t kMagic[8] = {'b', 't', 's', 'n', 'o', 'o', 'p', 0};

void PutBe32(uint8_t* out, uint32_t value) {
  out[0] = uint8_t(value >> 24);
  out[1] = uint8_t(value >> 16);
  out[2] = uint8_t(value >> 8);
  out[3] = uint8_t(value);
}

uint32_t Be32(const uint8_t* in) {
  return uint32_t(in[0]) << 24 | uint32_t(in[1]) << 16 | uint32_t(in[2]) << 8 | uint32_t(in[3]);
}

}  // namespace

void BtsnoopFileHeader(uint8_t out[BTSNOOP_FILE_HEADER_SIZE]) {
  memcpy(out, kMagic, sizeof kMagic);
  PutBe32(out + 8, BTSNOOP_VERSION);
  PutBe32(out + 12, BTSNOOP_DATALINK_H4);
}

bool BtsnoopCheckFileHeader(const uint8_t* data, size_t len) {
  return len >= BTSNOOP_FILE_HEADER_SIZE && memcmp(data, kMagic, sizeof kMagic) == 0 &&
         Be32(data + 8) == BTSNOOP_VERSION && Be32(data + 12) == BTSNOOP_DATALINK_H4;
}

uint32_t BtsnoopFlags(uint8_t h4Type, BtsnoopDirection direction) {
  uint32_t flags = direction == BTSNOOP_FROM_CONTROLLER ? uint32_t(BTSNOOP_FLAG_RECEIVED) : 0u;
  if (h4Type == H4_COMMAND || h4Type == H4_EVENT) flags |= BTSNOOP_FLAG_COMMAND_EVENT;
  return flags;
}

uint64_t BtsnoopTimestamp(int64_t unixMicros) { return BTSNOOP_UNIX_EPOCH + uint64_t(unixMicros); }

void BtsnoopRecordHeader(uint8_t out[BTSNOOP_RECORD_HEADER_SIZE], uint32_t length, uint32_t flags, uint32_t drops,
                         uint64_t timestamp) {
  PutBe32(out, length);
  PutBe32(out + 4, length);
  PutBe32(out + 8, flags);
  PutBe32(out + 12, drops);
  PutBe32(out + 16, uint32_t(timestamp >> 32));
  PutBe32(out + 20, uint32_t(timestamp));
}

BtsnoopReadResult BtsnoopNextRecord(const uint8_t* data, size_t len, size_t* offset, BtsnoopRecord* record) {
  const size_t at = *offset;
  if (at >= len) return BTSNOOP_READ_END;
  if (len - at < BTSNOOP_RECORD_HEADER_SIZE) return BTSNOOP_READ_TRUNCATED;
  const uint8_t* h = data + at;
  BtsnoopRecord r;
  r.originalLength = Be32(h);
  r.includedLength = Be32(h + 4);
  r.flags = Be32(h + 8);
  r.drops = Be32(h + 12);
  r.timestamp = uint64_t(Be32(h + 16)) << 32 | Be32(h + 20);
  r.packet = h + BTSNOOP_RECORD_HEADER_SIZE;
  if (r.includedLength > r.originalLength) return BTSNOOP_READ_BAD;
  if (len - at - BTSNOOP_RECORD_HEADER_SIZE < r.includedLength) return BTSNOOP_READ_TRUNCATED;
  *record = r;
  *offset = at + BTSNOOP_RECORD_HEADER_SIZE + r.includedLength;
  return BTSNOOP_READ_RECORD;
}

bool BtsnoopRecordIsWholePacket(const BtsnoopRecord& record) {
  const size_t n = record.includedLength;
  if (n != record.originalLength || n < 1) return false;
  const uint8_t type = record.packet[0];
  const size_t header = H4HeaderSize(type);
  if (header == 0 || n < 1 + header || n != 1 + header + H4PayloadSize(type, record.packet + 1)) return false;
  const BtsnoopDirection direction =
      (record.flags & BTSNOOP_FLAG_RECEIVED) != 0 ? BTSNOOP_FROM_CONTROLLER : BTSNOOP_TO_CONTROLLER;
  if ((record.flags & ~uint32_t(BTSNOOP_FLAG_RECEIVED | BTSNOOP_FLAG_COMMAND_EVENT)) != 0) return false;
  if (record.flags != BtsnoopFlags(type, direction)) return false;
  if (type == H4_COMMAND && direction != BTSNOOP_TO_CONTROLLER) return false;
  if (type == H4_EVENT && direction != BTSNOOP_FROM_CONTROLLER) return false;
  return true;
}
