// The packets the bridge drops, by cause. Every place that drops a packet says so on the
// console and counts it here; the run summary gives the counts.
#pragma once

#include <atomic>
#include <cstdint>

enum DropCause {
  DROP_OVERSIZED,     // longer than a read, a slot, the receive buffer or a frame can hold
  DROP_MALFORMED,     // an FTM HCI request without a command
  DROP_SHORT_REPLY,   // a type 2 event reply too short to hold an event
  DROP_UNKNOWN_TYPE,  // a byte from the test host that starts no H4 packet
  DROP_NO_FRAME_END,  // a full receive buffer without the end of a diag frame
  DROP_NOT_SENT,      // the send to the test host failed or there was none
  DROP_NO_MEMORY,     // no memory for a log packet: none is allocated now, so always 0; the run
                      // summary keeps its place
  DROP_CAUSE_COUNT
};

struct DropCounts {
  std::atomic<uint64_t> byCause[DROP_CAUSE_COUNT] = {};
};

// Counts one drop. drops may be nullptr: byte work run without a context record.
inline void CountDrop(DropCounts* drops, DropCause cause) {
  if (drops != nullptr) drops->byCause[cause].fetch_add(1, std::memory_order_relaxed);
}
