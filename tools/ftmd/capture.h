// --btsnoop: every HCI packet between ftmd's clients and their controllers, in one
// capture file; and each connection's packet counts for the line at its end.
#pragma once

#include <sys/types.h>

#include <string>

#include "capture/btsnoop_file.h"
#include "capture/hci_counts.h"
#include "controller.h"

namespace ftmd {

struct CaptureFile {
  BtsnoopFile file;
  std::string path;    // the file written: the name given, or a new file in its directory
  bool named = false;  // a capture was started: ftmd's last line names the file
};

// Opens what the name points at (see OpenCaptureTarget: a directory gets a new file for
// this run), mode 0600 or 0640 for the group. Says so on one line; a name that cannot be
// used is said on one line and ftmd runs without capture: false.
bool openCapture(CaptureFile& capture, const std::string& name, const gid_t* group);
void closeCapture(CaptureFile& capture);

// The H4 type byte of a packet on a channel: what goes to the controller on the event
// channel is a command.
uint8_t h4Type(Channel ch, BtsnoopDirection direction);

// Counts one packet (without its H4 type byte) and captures it when capture is set. A
// failed write stops the capture with one line.
void tapPacket(CaptureFile* capture, HciCounts& counts, BtsnoopDirection direction, uint8_t h4Type, const uint8_t* p,
               size_t n);

// "TAG: commands C, events E, ..."
std::string countsLine(const std::string& tag, const HciCounts& counts);

}  // namespace ftmd
