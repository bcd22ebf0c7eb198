// Diag mode: what one receive does with the bytes it has gathered.
#pragma once

#include "core/host_send.h"
#include "driver/driver.h"
#include "platform/platform.h"

// The answer to a block that closes a frame (HandleDiagRequest, or a test's own).
typedef int (*DiagResponder)(HostSender* host, const BYTE* request, int length, int bufferSize,
                             const DriverWriter& writer);

// True when total bytes at buf close a frame: the flag is the last byte, or the one
// before it (with at least three bytes).
bool ClosesDiagFrame(const BYTE* buf, int total);

// One pass over total valid bytes at buf (0 to HOST_RECV_CAPACITY, carried bytes first).
// Bytes that close a frame go to responder together (with host and writer) and nothing is kept. Bytes that close
// none are kept at the buffer start for the next receive, less any flag bytes they begin
// with; when they fill the whole buffer they are dropped with one console line instead.
// Returns the number of bytes kept, always below HOST_RECV_CAPACITY.
int DiagReceiveStep(BYTE* buf, int total, DiagResponder responder, HostSender* host, const DriverWriter& writer);
