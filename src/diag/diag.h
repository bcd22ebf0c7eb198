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

// Sends one controller packet of length bytes to the test host as a log packet (its header,
// then the packet) in one escaped frame, dumped on the console. The header is built on
// the stack and framed beside the packet, which is framed where it lies: nothing is
// allocated or copied besides the frame. note is done as SendToTestHost does it.
void DiagSendLogPacket(HostSender* host, const BYTE* packet, int length, WORD logCode, WORD tag,
                       const HostSendNote* note = nullptr);

// The HCI command part of an FTM subsystem request: writes its command, if it carries
// one, to the controller through writer; nothing past bufferSize is read.
void HandleFtmHciCommand(const BYTE* request, int bufferSize, const DriverWriter& writer, DropCounts* drops);

