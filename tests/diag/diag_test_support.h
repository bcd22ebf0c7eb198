// Test seams for the diag subsystem: what goes to the test host, what goes to the
// driver, what reaches the console, and an independent frame decoder.
#pragma once

#include "app/host_send.h"
#include "diag/diag.h"

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// FCS-16 computed one bit at a time, without the table of the product.
uint16_t BitwiseFcs16(const Bytes& data, uint16_t fcs = 0xFFFF);

// Removes the closing flag and the escape pairs of a frame; fails the test when the
// frame is not closed by a single flag.
Bytes DecodeFrame(const Bytes& frame, bool escaped);

// The packet followed by the given FCS bytes and the flag, as a frame with no escaping.
Bytes PlainFrame(const Bytes& packet, uint8_t fcsLow, uint8_t fcsHigh);

// Installs a host send hook for its lifetime and records every send. By default each
// send reports that everything went out; result overrides that.
class HostSendRecorder {
 public:
  HostSendRecorder();
  ~HostSendRecorder();
  void FailWith(int result);  // every send from now on returns result
  const std::vector<Bytes>& sends() const;

 private:
  HostSendHook previous_;
};

// A DriverWriter that records each HCI command; the other writes must not happen.
class DriverRecorder {
 public:
  DriverRecorder();
  ~DriverRecorder();
  const DriverWriter& writer() const;
  const std::vector<Bytes>& commands() const;
  int otherWrites() const;
};

// Redirects standard output (file descriptor 1) into a file for its lifetime; text()
// returns what the console received so far, as UTF-8.
class ConsoleCapture {
 public:
  ConsoleCapture();
  ~ConsoleCapture();
  std::string text();

 private:
  int savedFd_;
  int fileFd_;
};
