#include "diag_test_support.h"

#include "app/host_send.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

uint16_t BitwiseFcs16(const Bytes& data, uint16_t fcs) {
  for (uint8_t b : data) {
    fcs ^= b;
    for (int bit = 0; bit < 8; ++bit) fcs = (fcs & 1) ? (uint16_t)((fcs >> 1) ^ 0x8408) : (uint16_t)(fcs >> 1);
  }
  return fcs;
}

Bytes DecodeFrame(const Bytes& frame, bool escaped) {
  Bytes out;
  if (frame.empty() || frame.back() != 0x7E) {
    ADD_FAILURE() << "frame not closed by the flag";
    return out;
  }
  for (size_t i = 0; i + 1 < frame.size(); ++i) {
    if (escaped && frame[i] == 0x7E) ADD_FAILURE() << "flag inside an escaped frame at " << i;
    if (escaped && frame[i] == 0x7D && i + 2 < frame.size()) {
      out.push_back((uint8_t)(frame[++i] ^ 0x20));
    } else {
      out.push_back(frame[i]);
    }
  }
  return out;
}

Bytes PlainFrame(const Bytes& packet, uint8_t fcsLow, uint8_t fcsHigh) {
  Bytes frame = packet;
  frame.push_back(fcsLow);
  frame.push_back(fcsHigh);
  frame.push_back(0x7E);
  return frame;
}

namespace {

std::vector<Bytes> gSends;
bool gFailSends = false;
int gSendResult = 0;

int RecordSend(const BYTE* data, int len) {
  gSends.emplace_back(data, data + len);
  return gFailSends ? gSendResult : len;
}

std::vector<Bytes> gCommands;
int gOtherWrites = 0;

void RecordHciCmd(const BYTE* command, int length) {
  EXPECT_GE(length, 0);
  gCommands.emplace_back(command, command + (length > 0 ? length : 0));
}
void RecordOtherPacket(const BYTE*, int) { ++gOtherWrites; }
void RecordSelect(BYTE) { ++gOtherWrites; }

const DriverWriter kRecordingWriter = {RecordHciCmd, RecordOtherPacket, RecordOtherPacket, RecordSelect};

}  // namespace

HostSendRecorder::HostSendRecorder() : previous_(SetHostSendHook(RecordSend)) {
  gSends.clear();
  gFailSends = false;
}
HostSendRecorder::~HostSendRecorder() { SetHostSendHook(previous_); }
void HostSendRecorder::FailWith(int result) {
  gFailSends = true;
  gSendResult = result;
}
const std::vector<Bytes>& HostSendRecorder::sends() const { return gSends; }

DriverRecorder::DriverRecorder() {
  gCommands.clear();
  gOtherWrites = 0;
}
DriverRecorder::~DriverRecorder() = default;
const DriverWriter& DriverRecorder::writer() const { return kRecordingWriter; }
const std::vector<Bytes>& DriverRecorder::commands() const { return gCommands; }
int DriverRecorder::otherWrites() const { return gOtherWrites; }

ConsoleCapture::ConsoleCapture() {
  std::fflush(stdout);
  char path[] = "/tmp/tarnexio-diag-console-XXXXXX";
  fileFd_ = mkstemp(path);
  if (fileFd_ < 0) {
    ADD_FAILURE() << "no capture file";
    savedFd_ = -1;
    return;
  }
  unlink(path);
  savedFd_ = dup(1);
  dup2(fileFd_, 1);
}

ConsoleCapture::~ConsoleCapture() {
  if (savedFd_ < 0) return;
  std::fflush(stdout);
  dup2(savedFd_, 1);
  close(savedFd_);
  close(fileFd_);
}

std::string ConsoleCapture::text() {
  std::fflush(stdout);
  std::string out;
  if (fileFd_ < 0) return out;
  char chunk[4096];
  off_t offset = 0;
  ssize_t n;
  while ((n = pread(fileFd_, chunk, sizeof chunk, offset)) > 0) {
    out.append(chunk, (size_t)n);
    offset += n;
  }
  return out;
}
