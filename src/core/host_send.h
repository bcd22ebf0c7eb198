// Every byte that goes to the test host, from any thread, passes through here.
#pragma once

#include "core/drop_counts.h"
#include "core/peer_lines.h"
#include "platform/platform.h"
#include "wire/locks.h"

#include <atomic>

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
  Mutex sendLock;  // held for the whole of one packet or frame, its capture record too
  DropCounts* drops = nullptr;  // where what this link drops is counted
  PeerLines* peerLines = nullptr;  // the receive thread's, while it serves a connection
};

// Where the drops of a host link are counted; nullptr without a link or counts.
inline DropCounts* DropsOf(const HostSender* host) { return host != nullptr ? host->drops : nullptr; }
// The bounds of the receive thread's lines caused by the peer; nullptr without a connection.
inline PeerLines* PeerLinesOf(const HostSender* host) { return host != nullptr ? host->peerLines : nullptr; }

// What is done under the send lock right before a packet goes: its record in the capture,
// so that the capture's order is the order on the connection.
struct HostSendNote {
  void (*note)(void* context);
  void* context;
};

// Sends one whole packet or frame on clientSocket, holding a lock for all of it so that
// packets of different threads never interleave, and repeating after a partial send.
// note (may be nullptr) is done under the same lock, before the send, also when there is no
// connection. Returns len when all went out, a count below len when a send failed part
// way, or one of the negative values above.
int SendToTestHost(HostSender* host, const BYTE* data, int len, const HostSendNote* note = nullptr);

// Replaces the socket sender with seam (nullptr restores it); returns the previous seam.
const HostSendSeam* SetHostSendSeam(HostSender* host, const HostSendSeam* seam);
