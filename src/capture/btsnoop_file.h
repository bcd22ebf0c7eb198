// Writing a btsnoop capture: one record per HCI packet, each written whole by one write
// and flushed at once, so that a crash or a kill loses nothing captured before it; one
// lock keeps the records of different threads apart. A failed write stops the capture
// for good and is reported once, to the caller of that write.
#pragma once

#include "wire/btsnoop.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <vector>

struct BtsnoopFile {
  std::mutex lock;
  std::FILE* file = nullptr;        // under lock; nullptr when not capturing
  std::atomic<bool> capturing{false};
  std::vector<uint8_t> record;      // under lock: the record being written
  uint64_t records = 0;             // under lock: records written
};

// Takes a file opened for binary writing and writes the file header. Returns 0, or the
// error number of the failed write (the file is then closed and nothing is captured).
int BtsnoopStart(BtsnoopFile* capture, std::FILE* file);

enum BtsnoopWriteResult {
  BTSNOOP_WRITTEN,
  BTSNOOP_NOT_CAPTURING,  // no file, or the capture stopped before
  BTSNOOP_WRITE_FAILED,   // this write failed: the capture has stopped (given once)
};

// Writes one packet: its H4 type byte and the length bytes of header and payload behind
// it, stamped with the current time. *error receives the error number of a failed write.
BtsnoopWriteResult BtsnoopWritePacket(BtsnoopFile* capture, BtsnoopDirection direction, uint8_t h4Type,
                                      const uint8_t* packet, size_t length, int* error);

// Closes the file. The capture writes nothing after this.
void BtsnoopStop(BtsnoopFile* capture);
