#include "write_recorder.h"

#include <mutex>

namespace {

std::mutex gLock;
std::vector<RecordedWrite> gWrites;

void Record(char kind, const BYTE* data, int length) {
  std::lock_guard<std::mutex> lock(gLock);
  gWrites.push_back({kind, Bytes(data, data + (length > 0 ? length : 0))});
}

void RecordCommand(const BYTE* data, int length) { Record('C', data, length); }
void RecordAcl(const BYTE* data, int length) { Record('A', data, length); }
void RecordSco(const BYTE* data, int length) { Record('S', data, length); }
void RecordSelect(BYTE id) { Record('I', &id, 1); }

const DriverWriter kRecordingWriter = {RecordCommand, RecordAcl, RecordSco, RecordSelect};

}  // namespace

WriteRecorder::WriteRecorder() {
  std::lock_guard<std::mutex> lock(gLock);
  gWrites.clear();
}

const DriverWriter& WriteRecorder::writer() const { return kRecordingWriter; }

std::vector<RecordedWrite> WriteRecorder::writes() const {
  std::lock_guard<std::mutex> lock(gLock);
  return gWrites;
}

size_t WriteRecorder::count() const {
  std::lock_guard<std::mutex> lock(gLock);
  return gWrites.size();
}
