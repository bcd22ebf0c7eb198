// Every byte that goes to the test host, from any thread, passes through here.
#pragma once

#include "platform/platform.h"

enum {
  HOST_SEND_NO_SOCKET = -2,  // no test host connected: nothing was sent
  HOST_SEND_FAILED = -1,     // the first send failed: nothing was sent
};

// Sends one whole packet or frame on clientSocket, holding a lock for all of it so that
// packets of different threads never interleave, and repeating after a partial send.
// Returns len when all went out, a count below len when a send failed part way, or one
// of the negative values above.
int SendToTestHost(const BYTE* data, int len);

// The seam for tests and fuzzers: replaces the socket sender; nullptr restores it.
// Returns the previous hook.
typedef int (*HostSendHook)(const BYTE* data, int len);
HostSendHook SetHostSendHook(HostSendHook hook);
