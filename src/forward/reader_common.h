// What the three reader threads share: the read event at start, one driver read by the
// overlapped pattern, the send of one controller packet and the end lines.
#pragma once

#include "core/context.h"
#include "driver/driver.h"

// The lines of one reader that are not about the driver request itself.
struct ReaderLines {
  const wchar_t* eventFailed;  // the read event could not be created
  const wchar_t* noSocket;     // raw mode, no test host
  const wchar_t* sendFailed;   // raw mode, the send failed
  const wchar_t* deviceGone;   // the driver device went away while running
  const wchar_t* exiting;      // first end line
  const wchar_t* endLine;      // the "--" line
};

// Creates the manual-reset event of the reader's OVERLAPPED record and hands it to the record.
void CreateReadEvent(ReaderRecord* reader, const ReaderLines& lines);

// True while the run goes on.
bool ReaderRunning(const FtmAppContext* ctx);

// What one read delivered.
enum ReadResult {
  READ_NOTHING,   // it failed (its line is printed): the pass ends
  READ_WAITED,    // data arrived after a wait
  READ_AT_ONCE,   // the driver completed it at once (its line is printed); data is there too
};

// Runs one read, request, on ctx's driver. On READ_WAITED and READ_AT_ONCE the data is in
// request.out and its byte count in *request.bytes: the caller handles it alike and then
// calls FinishRead. A read that fails because the device is gone while the run goes on
// prints the reader's line and runs the stop sequence.
ReadResult ReadFromDriver(FtmAppContext* ctx, const DriverRequest& request, const ReaderLines& lines);

// The read a reader makes again and again, with its record and its messages; the caller
// fills in what changes from read to read (the input of a type 2 event read, the size of
// an SCO read).
DriverRequest ReaderRequest(ReaderRecord* reader, DWORD code, LPVOID out, DWORD outSize, const RequestTexts& texts);

// After a read's data is handled: a read that waited resets the event of the reader's
// record; one the driver completed at once leaves it as it is.
void FinishRead(ReaderRecord* reader, ReadResult result);

// Sends one controller packet of length bytes to ctx's test host: as a log packet in diag
// mode, behind its H4 type byte in raw mode. The byte in front of packet is its headroom
// (H4_HEADROOM), which raw mode overwrites with the type byte. Nothing is allocated: no
// packet ends its reader.
void ForwardPacket(FtmAppContext* ctx, BYTE* packet, int length, BYTE h4Type, WORD logCode, WORD tag,
                   const ReaderLines& lines);

// The two end lines; returns the thread result.
DWORD EndReader(const ReaderLines& lines);
