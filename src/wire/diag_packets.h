// What diag frames carry: the request codes a test host sends, the FTM HCI request that
// tunnels one HCI command to the controller, and the log packet that brings a controller
// packet back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "wire/h4.h"

// Request codes, the first byte of a request and of its reply.
enum : uint8_t {
  kDiagVersion = 0x00,
  kDiagEsn = 0x01,
  kDiagStatus = 0x0C,
  kDiagLog = 0x10,  // a log packet from the bridge
  kDiagNvItemRead = 0x26,
  kDiagPhoneState = 0x3F,
  kDiagSubsystem = 0x4B,
  kDiagLogMask = 0x73,
  kDiagLoopback = 0x7B,
  kDiagExtendedBuildId = 0x7C,
};

// The byte at offset of a request held in a buffer of bufferSize bytes; a byte past the
// end of that buffer reads as 0, as the zeroed tail of a receive buffer does.
inline uint8_t DiagRequestByte(const uint8_t* request, int bufferSize, int offset) {
  if (request == nullptr || offset < 0 || offset >= bufferSize) return 0;
  return request[offset];
}

// The FTM HCI request: subsystem header 4B 0B 04 00, two zero bytes, the length of the H4
// command (type byte included) at offset 6, three zero bytes, then the H4 command from
// offset 10: its type 0x01 there, the command itself from offset 11.
enum {
  FTM_HCI_LENGTH_OFFSET = 6,
  FTM_HCI_TYPE_OFFSET = 10,
  FTM_HCI_COMMAND_OFFSET = 11,
  FTM_HCI_MAX_COMMAND = 254,  // the length byte counts the type byte too
  FTM_HCI_NOT_HCI = -2,       // ParseFtmHciRequest: not an FTM HCI request
  FTM_HCI_EMPTY = -1,         // ... its length byte is 0: not even a type byte
};

// The unframed request carrying one H4 command (type byte first, at most 255 bytes).
std::vector<uint8_t> BuildFtmHciRequest(const uint8_t* h4Command, size_t length);

// Reads the HCI command of an FTM HCI request as the bridge takes it, every byte through
// DiagRequestByte: the header is checked, then exactly length - 1 bytes are produced from
// offset 11, where 7D 5D and 7D 5E stand for 7D and 7E and any other byte (a lone 7D
// included) stands for itself. Returns the command's length (command has room for
// FTM_HCI_MAX_COMMAND bytes), FTM_HCI_NOT_HCI or FTM_HCI_EMPTY.
int ParseFtmHciRequest(const uint8_t* request, int bufferSize, uint8_t* command);

// Log packets: a 16-byte header, then one controller packet without its H4 type byte. The
// header is 0x10, the length after the first four bytes high byte first (twice), 0x00,
// the log code, the constant 0xC52A62E5 and 0x01FF, then the tag; little-endian but for
// the length. The tag is the H4 type of the packet in the high byte.
enum {
  LOG_CODE_EVENT = 0x1366,
  LOG_CODE_ACL = 0x1368,
  LOG_CODE_SCO = 0x1370,
  LOG_TAG_EVENT = H4_EVENT << 8,
  LOG_TAG_ACL = H4_ACL << 8,
  LOG_TAG_SCO = H4_SCO << 8,
  LOG_HEADER_SIZE = 16,
};

// Writes the header of a log packet carrying payloadLength bytes (at most 65535 - 12).
void WriteLogHeader(uint8_t* header, int payloadLength, uint16_t logCode, uint16_t tag);

enum LogPacketResult {
  LOG_PACKET_OK = 0,
  LOG_PACKET_SHORT,         // shorter than its header
  LOG_PACKET_BAD_LENGTH,    // the length fields disagree with the size
  LOG_PACKET_BAD_HEADER,    // not 0x10, or not the constants
  LOG_PACKET_UNKNOWN_CODE,  // a log code or tag other than those above, or a tag that is not its code's
};

struct LogPacketView {
  uint16_t code = 0;
  uint8_t h4Type = 0;  // of the packet carried
  const uint8_t* payload = nullptr;
  size_t length = 0;
};

// Reads the header of the log packet of n bytes at p.
LogPacketResult ParseLogPacket(const uint8_t* p, size_t n, LogPacketView* view);
