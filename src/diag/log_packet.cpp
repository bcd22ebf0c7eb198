// Log packets: a 16-byte header in front of one controller packet, on the heap.
#include "diag/diag.h"

#include <climits>
#include <cstring>
#include <new>

BYTE* BuildLogPacket(const BYTE* payload, int length, WORD logCode, WORD tag) {
  if (length < 0 || length > INT_MAX - LOG_HEADER_SIZE || (length > 0 && payload == nullptr)) return nullptr;
  const int total = length + LOG_HEADER_SIZE;
  BYTE* packet = new (std::nothrow) BYTE[total];
  if (packet == nullptr) return nullptr;

  // The length after the first four bytes, high byte first, written twice.
  const int counted = total - 4;
  const BYTE header[LOG_HEADER_SIZE] = {
      0x10,
      (BYTE)((counted >> 8) & 0xFF),
      (BYTE)(counted & 0xFF),
      (BYTE)((counted >> 8) & 0xFF),
      (BYTE)(counted & 0xFF),
      0x00,
      (BYTE)(logCode & 0xFF),
      (BYTE)(logCode >> 8),
      0xE5, 0x62, 0x2A, 0xC5,  // 0xC52A62E5, little-endian
      0xFF, 0x01,              // 0x01FF, little-endian
      (BYTE)(tag & 0xFF),
      (BYTE)(tag >> 8),
  };
  std::memcpy(packet, header, sizeof header);
  if (length > 0) std::memcpy(packet + LOG_HEADER_SIZE, payload, (size_t)length);
  return packet;
}

void ReleaseLogPacket(BYTE* logPacket) { delete[] logPacket; }
