// The load generator's plumbing: a loopback TCP client with bounded, buffered receives,
// H4 packet and diag frame parsing, and CPU and memory figures of a process from /proc.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace loadgen {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// A blocking TCP client on 127.0.0.1 with Nagle off. Every receive has a deadline.
class Link {
 public:
  // Connects, retrying every retryMs until timeoutMs has passed (the relay may still be
  // starting).
  Link(int port, int timeoutMs, int retryMs = 20);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool Send(const uint8_t* data, size_t length);
  bool Send(const Bytes& bytes) { return Send(bytes.data(), bytes.size()); }
  // One H4 packet (type byte, header, payload); false on timeout, close, an unknown type or
  // a packet longer than 64 KiB.
  bool ReceiveH4(Bytes* packet, int timeoutMs);
  // The bytes up to and including the next 0x7E; false on timeout or close.
  bool ReceiveFrame(Bytes* frame, int timeoutMs);

 private:
  bool Fill(Clock::time_point deadline);  // reads what is there (at least one byte)
  size_t Buffered() const { return end_ - start_; }
  int fd_ = -1;
  std::vector<uint8_t> buf_;
  std::vector<uint8_t> packet_;  // the H4 packet being read
  size_t start_ = 0;
  size_t end_ = 0;
};

// Diag frames: packet bytes and their complemented FCS-16 (low byte first), 7D and 7E
// escaped, then 7E.
Bytes EncodeFrame(const Bytes& packet);
// Unescapes a frame (with its closing flag) and checks its FCS; returns the packet
// without the FCS, or sets ok false.
Bytes DecodeFrame(const Bytes& frame, bool* ok);

// Peak resident set size (VmHWM) of a process in KiB, or -1.
long long PeakResidentKiB(int pid);
// CPU time of all live threads of a process in nanoseconds (their schedstat), or -1.
long long CpuNanoseconds(int pid);
// Voluntary plus involuntary context switches of all live threads of a process, or -1.
long long ContextSwitches(int pid);

// A free TCP port on 127.0.0.1 (bound once and released), or -1.
int FreePort();

}  // namespace loadgen
