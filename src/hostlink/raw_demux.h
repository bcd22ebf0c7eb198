// Raw mode: the split of the test host's byte stream into H4 packets.
#pragma once

#include "core/drop_counts.h"
#include "core/peer_lines.h"
#include "driver/driver.h"
#include "platform/platform.h"

enum { HOST_RECV_CAPACITY = 4096 };  // data bytes of the receive buffer (one terminator byte follows)

// What the demultiplexer keeps from one receive to the next, besides the carried bytes
// at the buffer start.
struct RawDemuxState {
  int aclPacketCount;  // ACL packets handed to the driver so far in this run
  int skipRemaining;   // bytes still to come of an ACL packet too long to ever fit the buffer
  DropCounts* drops;   // where unknown bytes and packets too long are counted, or nullptr
  PeerLines* lines;    // the bounds of the lines of unknown bytes, or nullptr (every one printed)
};

// Walks total valid bytes (0 to HOST_RECV_CAPACITY) at buf packet by packet: writes every
// complete packet through writer, reports and skips unknown type bytes and oversized ACL
// packets, and moves an incomplete last packet (even a lone type byte) to the buffer
// start. Returns the number of bytes so carried, always below HOST_RECV_CAPACITY.
// Header bytes at or behind total count as 0 and are never read.
int DemuxRawPackets(BYTE* buf, int total, RawDemuxState* state, const DriverWriter& writer);
