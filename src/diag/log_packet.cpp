// Log packets: a 16-byte header in front of one controller packet, on the heap.
#include "diag/diag.h"

#include <climits>
#include <cstring>
#include <new>

BYTE* BuildLogPacket(const BYTE* payload, int length, WORD logCode, WORD tag) {
  if (length < 0 || length > INT_MAX - LOG_HEADER_SIZE || (length > 0 && payload == nullptr)) return nullptr;
  BYTE* packet = new (std::nothrow) BYTE[length + LOG_HEADER_SIZE];
  if (packet == nullptr) return nullptr;
  WriteLogHeader(packet, length, logCode, tag);
  if (length > 0) std::memcpy(packet + LOG_HEADER_SIZE, payload, (size_t)length);
  return packet;
}

void ReleaseLogPacket(BYTE* logPacket) { delete[] logPacket; }
