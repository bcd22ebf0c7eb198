// The capture formats besides btsnoop, as the bridge, ftmd and the tests write and read
// them, and one reader for all three. Both take H4 packets with a direction header (link
// type 201): a 4-byte big-endian direction (0 sent to the controller, 1 received from
// it) and then the packet, H4 type byte first.
//
// pcap: a 24-byte file header (magic a1b2c3d4 little-endian, version 2.4, link type 201)
// and records of a 16-byte header (seconds, microseconds, included and original length).
// pcapng: a section header block naming the application, one interface description block
// (link type 201, microseconds), an enhanced packet block per packet (with the drops so
// far as its drop count once there are any) and, at the end, an interface statistics
// block with the packets received and dropped. Numbers are little-endian.
//
// Plain byte work: the file writing is in src/capture.
#pragma once

#include "wire/btsnoop.h"
#include "wire/capture_name.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The link type of pcap and pcapng records that carry an H4 packet after a 4-byte direction.
enum : uint32_t { LINKTYPE_H4_WITH_DIRECTION = 201 };
// pcap's file magic (microsecond timestamps).
enum : uint32_t { PCAP_MAGIC = 0xA1B2C3D4 };
// pcapng block types, and the section header's byte-order magic.
enum : uint32_t {
  PCAPNG_SECTION_HEADER = 0x0A0D0D0A,
  PCAPNG_INTERFACE_DESCRIPTION = 1,
  PCAPNG_INTERFACE_STATISTICS = 5,
  PCAPNG_ENHANCED_PACKET = 6,
};
enum : uint32_t { PCAPNG_BYTE_ORDER_MAGIC = 0x1A2B3C4D };

// Appends the start of a capture file: the btsnoop or pcap file header, or pcapng's
// section header (naming application) and interface description.
void AppendCaptureHeader(std::vector<uint8_t>& out, CaptureFormat format, const std::string& application);

// Appends one record: the packet (length bytes behind its H4 type byte) going that way at
// unixMicros, with dropsSoFar packets dropped before it (btsnoop's cumulative drops,
// pcapng's drop count; pcap has no place for it).
void AppendCaptureRecord(std::vector<uint8_t>& out, CaptureFormat format, BtsnoopDirection direction, uint8_t h4Type,
                         const uint8_t* packet, size_t length, int64_t unixMicros, uint64_t dropsSoFar);

// Appends what ends a capture: pcapng's interface statistics (the capture's start and
// end, the packets received and dropped); nothing for the other formats.
void AppendCaptureEnd(std::vector<uint8_t>& out, CaptureFormat format, int64_t startMicros, int64_t endMicros,
                      uint64_t received, uint64_t dropped);

// A reader of the three formats over bytes in memory; nothing past the length given is read.
struct CaptureReader {
  CaptureFormat format = CAPTURE_BTSNOOP;
  size_t offset = 0;
  bool interfaceSeen = false;  // pcapng: the interface description came, with link type 201
  bool statistics = false;     // pcapng: an interface statistics block came
  uint64_t received = 0, dropped = 0;  // from it
};

struct CaptureRecordView {
  BtsnoopDirection direction;
  const uint8_t* packet;  // H4 type byte first, inside the bytes read
  size_t length;
  int64_t unixMicros;
  uint64_t drops;  // so far, as the record says (0 where it says nothing)
};

enum CaptureReadResult {
  CAPTURE_READ_RECORD,     // *record holds the next packet
  CAPTURE_READ_END,        // no bytes left
  CAPTURE_READ_TRUNCATED,  // the bytes left are part of a record or block only
  CAPTURE_READ_BAD,        // not a capture of H4 with direction this reader knows
};

// Recognises the file header (of any of the three formats) and places the reader behind it.
bool CaptureReadStart(CaptureReader* reader, const uint8_t* data, size_t len);

// The next packet; other blocks are passed over (statistics are kept in the reader).
CaptureReadResult CaptureReadNext(CaptureReader* reader, const uint8_t* data, size_t len, CaptureRecordView* record);
