// Diag mode: what one receive does with the bytes it has gathered.
#pragma once

#include "core/host_send.h"
#include "driver/driver.h"
#include "platform/platform.h"

// The answer to one complete frame (HandleDiagRequest, or a test's own).
typedef int (*DiagResponder)(HostSender* host, const BYTE* request, int length, int bufferSize,
                             const DriverWriter& writer);

// One pass over total valid bytes at buf (0 to HOST_RECV_CAPACITY, carried bytes first).
// Every complete frame (the bytes up to and with a flag) goes to responder in turn, with
// host and writer, exactly as if it had arrived alone: bufferSize is its own length, so
// nothing behind it is read and the frames after it change nothing. A flag with nothing
// before it closes no frame. The bytes after the last flag are kept at the buffer start
// for the next receive; when they fill the whole buffer they are dropped with one console
// line instead. Returns the number of bytes kept, always below HOST_RECV_CAPACITY.
int DiagReceiveStep(BYTE* buf, int total, DiagResponder responder, HostSender* host, const DriverWriter& writer);
