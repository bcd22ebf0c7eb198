// What the bridge keeps of the HCI traffic of a run: the capture file that
// TARNEXIO_BTSNOOP names, the packets and bytes each way, and the drops by cause.
#pragma once

#include "capture/hci_capture.h"
#include "capture/hci_counts.h"
#include "core/drop_counts.h"
#include "platform/platform.h"

#include <string>

struct PacketTap {
  HciCapture capture;
  std::wstring capturePath;  // the file written: the name given, or a new file in its directory
  bool captureNamed = false;  // the run summary names the capture file
  HciCounts counts;
  DropCounts drops;
};

// Starts the capture when the environment variable TARNEXIO_CAPTURE (or its older name
// TARNEXIO_BTSNOOP) names a file, a pipe or a directory (a new file in it for this run);
// prints one line either way. The format follows the name's ending. Without the variable nothing happens and nothing is printed.
void StartCapture(PacketTap* tap);

// One HCI packet (length bytes behind its H4 type byte) passing between the test host
// and the controller: counted and captured. A failed write stops the capture with one line.
void TapPacket(PacketTap* tap, BtsnoopDirection direction, BYTE h4Type, const BYTE* packet, int length);

// The run summary: packets and bytes each way, the drops by cause and the capture file,
// on one line.
void PrintRunSummary(const PacketTap* tap);

// The packets dropped so far, by every cause of the run summary.
uint64_t TotalDrops(const PacketTap* tap);

// Ends the capture (with the drops in a pcapng file) and closes it; says how many
// packets a slow pipe reader cost, if any.
void StopCapture(PacketTap* tap);
