// The TCP connection to the bridge, through the platform's Windows Sockets calls.
#pragma once

#include <string>

#include "platform/platform.h"
#include "steps.h"

namespace host {

class Link {
 public:
  Link();
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // false with *error when no address of host:port takes the connection.
  bool Connect(const std::string& hostName, const std::string& port, std::string* error);
  // Sends every byte (looping over partial sends); false with *error when the link fails.
  bool SendAll(const Bytes& bytes, std::string* error);
  // Waits up to ms for bytes: the count received, 0 when none came in time, -1 with
  // *error when the bridge closed the connection or the link failed.
  int Receive(uint8_t* buffer, int capacity, uint32_t ms, std::string* error);

 private:
  SOCKET socket_ = INVALID_SOCKET;
  bool started_ = false;
};

}  // namespace host
