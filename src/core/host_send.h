// Every byte that goes to the test host, from any thread, passes through here.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <mutex>

enum {
  HOST_SEND_NO_SOCKET = -2,  // no test host connected: nothing was sent
  HOST_SEND_FAILED = -1,     // the first send failed: nothing was sent
};

// The seam for tests and fuzzers: a sender that replaces the socket, with its own
// context. Returns what SendToTestHost returns.
struct HostSendSeam {
  int (*send)(void* context, const BYTE* data, int len);
  void* context;
};

// The connection to the test host and what keeps its packets whole: the part of the
// context record that the senders need.
struct HostSender {
  std::atomic<SOCKET> clientSocket{INVALID_SOCKET};
  std::atomic<const HostSendSeam*> seam{nullptr};  // nullptr: send on clientSocket
  std::mutex sendLock;
};

// Sends one whole packet or frame on clientSocket, holding a lock for all of it so that
// packets of different threads never interleave, and repeating after a partial send.
// Returns len when all went out, a count below len when a send failed part way, or one
// of the negative values above.
int SendToTestHost(HostSender* host, const BYTE* data, int len);

// Replaces the socket sender with seam (nullptr restores it); returns the previous seam.
const HostSendSeam* SetHostSendSeam(HostSender* host, const HostSendSeam* seam);
