#include "capture/btsnoop_file.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace {

int64_t NowUnixMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

// Ends the capture after a failed write; the caller holds the lock.
int StopAfterFailure(BtsnoopFile* capture) {
  const int error = errno != 0 ? errno : EIO;
  std::fclose(capture->file);
  capture->file = nullptr;
  capture->capturing = false;
  return error;
}

// One write of the whole buffer, then a flush: with the stream unbuffered the bytes reach
// the system in the one call.
bool WriteWhole(std::FILE* file, const uint8_t* data, size_t length) {
  errno = 0;
  return std::fwrite(data, 1, length, file) == length && std::fflush(file) == 0;
}

}  // namespace

int BtsnoopStart(BtsnoopFile* capture, std::FILE* file) {
  std::lock_guard<std::mutex> hold(capture->lock);
  std::setvbuf(file, nullptr, _IONBF, 0);
  capture->file = file;
  capture->records = 0;
  uint8_t header[BTSNOOP_FILE_HEADER_SIZE];
  BtsnoopFileHeader(header);
  if (!WriteWhole(file, header, sizeof header)) return StopAfterFailure(capture);
  capture->capturing = true;
  return 0;
}

BtsnoopWriteResult BtsnoopWritePacket(BtsnoopFile* capture, BtsnoopDirection direction, uint8_t h4Type,
                                      const uint8_t* packet, size_t length, int* error) {
  if (!capture->capturing.load(std::memory_order_relaxed)) return BTSNOOP_NOT_CAPTURING;
  std::lock_guard<std::mutex> hold(capture->lock);
  if (capture->file == nullptr) return BTSNOOP_NOT_CAPTURING;
  // Stamped under the lock, so that the file's order is the order of its timestamps.
  const uint64_t timestamp = BtsnoopTimestamp(NowUnixMicros());
  std::vector<uint8_t>& record = capture->record;
  record.resize(BTSNOOP_RECORD_HEADER_SIZE + 1 + length);
  BtsnoopRecordHeader(record.data(), uint32_t(1 + length), BtsnoopFlags(h4Type, direction), 0,
                      timestamp);
  record[BTSNOOP_RECORD_HEADER_SIZE] = h4Type;
  if (length > 0) std::copy(packet, packet + length, record.begin() + BTSNOOP_RECORD_HEADER_SIZE + 1);
  if (!WriteWhole(capture->file, record.data(), record.size())) {
    *error = StopAfterFailure(capture);
    return BTSNOOP_WRITE_FAILED;
  }
  ++capture->records;
  return BTSNOOP_WRITTEN;
}

void BtsnoopStop(BtsnoopFile* capture) {
  std::lock_guard<std::mutex> hold(capture->lock);
  capture->capturing = false;
  if (capture->file != nullptr) std::fclose(capture->file);
  capture->file = nullptr;
}
