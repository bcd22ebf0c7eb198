// The TCP connection to the bridge, through the platform's Windows Sockets calls: the one
// test host connection of tarnexio-host, the end-to-end tests and the load generator.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"
#include "steps.h"

namespace host {

class Link final {
 public:
  Link();  // starts Windows Sockets; the destructor closes the connection and stops them
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // false with *error when no address of host:port takes the connection.
  bool Connect(const std::string& hostName, const std::string& port, std::string* error);
  // Connects to 127.0.0.1:port, trying again every 20 ms until timeoutMs has passed (the
  // bridge may still be starting); false with error() set when it never answers.
  bool ConnectLoopback(int port, uint32_t timeoutMs, uint32_t retryMs = 20);
  bool connected() const { return socket_ != INVALID_SOCKET; }
  SOCKET socket() const { return socket_; }

  // Sends every byte (looping over partial sends); false with *error when the link fails.
  bool SendAll(const Bytes& bytes, std::string* error);
  bool Send(const uint8_t* data, size_t length);  // the same, the reason in error()
  // Waits up to ms for bytes: the count received, 0 when none came in time, -1 with
  // *error when the bridge closed the connection or the link failed. Bytes a buffered
  // receive below left over come first.
  int Receive(uint8_t* buffer, int capacity, uint32_t ms, std::string* error);

  // Buffered receives: each takes what it returns and leaves the bytes behind it for the
  // next. Every one waits at most ms in all.
  enum class H4Got { PACKET, STRAY, NOTHING };
  // One H4 packet of the bridge's types (type byte, header, payload) in *packet; Stray with
  // the one byte in *packet when the next byte starts no packet; Nothing on timeout or close.
  H4Got ReceiveH4(Bytes* packet, uint32_t ms);
  // The bytes up to and with the next diag flag; false on timeout or close.
  bool ReceiveFrame(Bytes* frame, uint32_t ms);
  // Exactly n bytes; fewer on timeout or close.
  Bytes ReceiveBytes(size_t n, uint32_t ms);
  // True when nothing arrives within ms (and nothing is buffered).
  bool Quiet(uint32_t ms);

  void Close();
  void Reset();      // closes with a TCP reset
  void HalfClose();  // no more sends; receives go on
  const std::string& error() const { return error_; }

 private:
  size_t Buffered() const { return end_ - start_; }
  // Receive without the buffered bytes.
  int ReceiveFromSocket(uint8_t* buffer, int capacity, uint32_t ms, std::string* error);
  // Receives what is there (at least one byte) behind the buffered bytes, waiting at most
  // ms; false on timeout, close or failure.
  bool Fill(uint32_t ms);

  SOCKET socket_ = INVALID_SOCKET;
  bool started_ = false;
  std::string error_;
  Bytes buffer_;       // buffered bytes: [start_, end_)
  Bytes h4Packet_;     // the H4 packet being read
  size_t start_ = 0;
  size_t end_ = 0;
};

}  // namespace host
