#include "recorders.h"

#include <gtest/gtest.h>

HostSendRecorder::HostSendRecorder(HostSender* target)
    : target_(target != nullptr ? target : &own_), seam_{Record, this}, previous_(SetHostSendSeam(target_, &seam_)) {}

HostSendRecorder::~HostSendRecorder() { SetHostSendSeam(target_, previous_); }

int HostSendRecorder::Record(void* context, const BYTE* data, int len) {
  HostSendRecorder* self = static_cast<HostSendRecorder*>(context);
  std::lock_guard<std::mutex> lock(self->lock_);
  self->sends_.emplace_back(data, data + len);
  return self->result_ == 0 ? len : self->result_;
}

void HostSendRecorder::FailWith(int result) {
  std::lock_guard<std::mutex> lock(lock_);
  result_ = result;
}

std::vector<Bytes> HostSendRecorder::sends() const {
  std::lock_guard<std::mutex> lock(lock_);
  return sends_;
}

std::vector<Bytes> HostSendRecorder::SendsOfType(uint8_t type) const {
  std::vector<Bytes> found;
  for (const Bytes& packet : sends())
    if (!packet.empty() && packet[0] == type) found.push_back(packet);
  return found;
}

size_t HostSendRecorder::count() const {
  std::lock_guard<std::mutex> lock(lock_);
  return sends_.size();
}

DriverWriteRecorder::DriverWriteRecorder()
    : writer_{this,
              [](void* c, const BYTE* d, int n) { Add(c, 'C', d, n); },
              [](void* c, const BYTE* d, int n) { Add(c, 'A', d, n); },
              [](void* c, const BYTE* d, int n) { Add(c, 'S', d, n); },
              [](void* c, BYTE id) { Add(c, 'I', &id, 1); }} {}

void DriverWriteRecorder::Add(void* context, char kind, const BYTE* data, int length) {
  EXPECT_GE(length, 0) << kind;
  DriverWriteRecorder* self = static_cast<DriverWriteRecorder*>(context);
  std::lock_guard<std::mutex> lock(self->lock_);
  self->writes_.push_back({kind, Bytes(data, data + (length > 0 ? length : 0))});
}

std::vector<RecordedWrite> DriverWriteRecorder::writes() const {
  std::lock_guard<std::mutex> lock(lock_);
  return writes_;
}

size_t DriverWriteRecorder::count() const {
  std::lock_guard<std::mutex> lock(lock_);
  return writes_.size();
}

std::vector<Bytes> DriverWriteRecorder::Of(char kind) const {
  std::vector<Bytes> found;
  for (const RecordedWrite& w : writes())
    if (w.kind == kind) found.push_back(w.bytes);
  return found;
}

int DriverWriteRecorder::otherWrites() const {
  int n = 0;
  for (const RecordedWrite& w : writes()) n += w.kind != 'C';
  return n;
}
