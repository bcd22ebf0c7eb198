// The btsnoop capture format as the bridge, ftmd and the tests write and read it:
// version 1, datalink 1002 (H4: every packet starts with its H4 type byte).
//
// A file is a 16-byte header ("btsnoop\0", version, datalink) and then records. A record
// is a 24-byte header and the packet. Every number is big-endian:
//   original length (4), included length (4), flags (4), cumulative drops (4),
//   timestamp (8): microseconds since midnight, January 1st of year 0.
// Flags: bit 0 is the direction (0 host to controller, 1 controller to host), bit 1 is
// set for commands and events only.
//
// Plain byte work: the file writing is in src/capture.
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint32_t {
  BTSNOOP_VERSION = 1,
  BTSNOOP_DATALINK_H4 = 1002,
  BTSNOOP_FLAG_RECEIVED = 1u << 0,  // controller to host
  BTSNOOP_FLAG_COMMAND_EVENT = 1u << 1,
};

enum : size_t {
  BTSNOOP_FILE_HEADER_SIZE = 16,
  BTSNOOP_RECORD_HEADER_SIZE = 24,
};

enum BtsnoopDirection {
  BTSNOOP_TO_CONTROLLER = 0,
  BTSNOOP_FROM_CONTROLLER = 1,
};

// The Unix epoch (1970-01-01 00:00:00 UTC) in the format's microseconds since year 0.
constexpr uint64_t BTSNOOP_UNIX_EPOCH = 0x00DCDDB30F2F8000ULL;

// The file header.
void BtsnoopFileHeader(uint8_t out[BTSNOOP_FILE_HEADER_SIZE]);

// True when data starts with a version 1, H4 btsnoop file header.
bool BtsnoopCheckFileHeader(const uint8_t* data, size_t len);

// The flags of a packet of that H4 type going that way.
uint32_t BtsnoopFlags(uint8_t h4Type, BtsnoopDirection direction);

// The record timestamp of a time given in microseconds since the Unix epoch.
uint64_t BtsnoopTimestamp(int64_t unixMicros);

// The header of a record of a packet of length bytes (type byte included); original and
// included lengths are both length.
void BtsnoopRecordHeader(uint8_t out[BTSNOOP_RECORD_HEADER_SIZE], uint32_t length, uint32_t flags, uint32_t drops,
                         uint64_t timestamp);

struct BtsnoopRecord {
  uint32_t originalLength;
  uint32_t includedLength;
  uint32_t flags;
  uint32_t drops;
  uint64_t timestamp;
  const uint8_t* packet;  // includedLength bytes, inside the buffer read
};

enum BtsnoopReadResult {
  BTSNOOP_READ_RECORD,     // *record holds the next record; *offset is behind it
  BTSNOOP_READ_END,        // no bytes left
  BTSNOOP_READ_TRUNCATED,  // the bytes left are part of a record only
  BTSNOOP_READ_BAD,        // the included length is above the original length
};

// Reads the record at *offset of the len bytes at data (the first record is at
// BTSNOOP_FILE_HEADER_SIZE). Nothing past len is read.
BtsnoopReadResult BtsnoopNextRecord(const uint8_t* data, size_t len, size_t* offset, BtsnoopRecord* record);

// True when a record is one whole H4 packet as this project writes them: lengths equal,
// the packet exactly as long as its header says, and flags that fit its type (commands
// only to the controller, events only from it).
bool BtsnoopRecordIsWholePacket(const BtsnoopRecord& record);
