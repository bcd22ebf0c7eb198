// What the bridge keeps of the HCI traffic of a run: the capture file that
// TARNEXIO_BTSNOOP names, the packets and bytes each way, and the drops by cause.
#pragma once

#include "capture/btsnoop_file.h"
#include "capture/hci_counts.h"
#include "core/drop_counts.h"
#include "platform/platform.h"

#include <string>

struct PacketTap {
  BtsnoopFile capture;
  std::wstring capturePath;  // the file written: the name given, or a new file in its directory
  bool captureNamed = false;  // the run summary names the capture file
  HciCounts counts;
  DropCounts drops;
};

// Starts the capture when the environment variable TARNEXIO_BTSNOOP names a file, a pipe
// or a directory (a new file in it for this run); prints one line either way. Without the variable nothing happens and nothing is printed.
void StartCapture(PacketTap* tap);

// One HCI packet (length bytes behind its H4 type byte) passing between the test host
// and the controller: counted and captured. A failed write stops the capture with one line.
void TapPacket(PacketTap* tap, BtsnoopDirection direction, BYTE h4Type, const BYTE* packet, int length);

// The run summary: packets and bytes each way, the drops by cause and the capture file,
// on one line.
void PrintRunSummary(const PacketTap* tap);

// Closes the capture file.
void StopCapture(PacketTap* tap);
