// Diag emulation: frames with their FCS, the responder for diag requests, log packets.
#pragma once

#include "core/host_send.h"
#include "driver/driver.h"
#include "platform/platform.h"
#include "wire/diag_frame.h"
#include "wire/diag_packets.h"

// Frames one packet and sends it to the test host through host, with a hex dump when verbose.
void DiagPrintToStream(HostSender* host, const BYTE* data, int length, int escape, int verbose,
                       const HostSendNote* note = nullptr);

// Answers one received frame, length bytes up to and with its flag. bufferSize is the size
// of the buffer that request points into; nothing past it is read, and a byte the request
// would have there reads as 0 (the frame's own length is a sound bufferSize). Replies go
// through host, HCI commands through writer. Returns 1, or 0 when the loopback reply could
// not be sent.
int HandleDiagRequest(HostSender* host, const BYTE* request, int length, int bufferSize, const DriverWriter& writer);

// Wraps one controller packet into a log packet of length + 16 bytes on the heap, or
// returns nullptr when no memory can be had. Release it with ReleaseLogPacket.
BYTE* BuildLogPacket(const BYTE* payload, int length, WORD logCode, WORD tag);
void ReleaseLogPacket(BYTE* logPacket);

// The HCI command part of an FTM subsystem request: writes its command, if it carries
// one, to the controller through writer; nothing past bufferSize is read.
void HandleFtmHciCommand(const BYTE* request, int bufferSize, const DriverWriter& writer, DropCounts* drops);

