// --btsnoop: every HCI packet between ftmd's clients and their controllers, in one
// capture file; and each connection's packet counts for the line at its end.
#pragma once

#include <string>

#include "capture/btsnoop_file.h"
#include "capture/hci_counts.h"
#include "controller.h"

namespace ftmd {

struct CaptureFile {
  BtsnoopFile file;
  std::string path;
};

// Creates (or replaces) the file. A file that cannot be created is said on one line and
// ftmd runs without capture: false.
bool openCapture(CaptureFile& capture, const std::string& path);
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
