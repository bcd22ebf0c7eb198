// The packets and bytes that passed between a test host and a controller, by kind and
// direction: what a run summary reports.
#pragma once

#include "capture/hci_capture.h"
#include "wire/btsnoop.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

enum HciKind {
  HCI_KIND_COMMANDS,
  HCI_KIND_EVENTS,
  HCI_KIND_ACL_TO_CONTROLLER,
  HCI_KIND_ACL_FROM_CONTROLLER,
  HCI_KIND_SCO_TO_CONTROLLER,
  HCI_KIND_SCO_FROM_CONTROLLER,
  HCI_KIND_COUNT
};

struct HciCounts {
  std::atomic<uint64_t> packets[HCI_KIND_COUNT] = {};
  std::atomic<uint64_t> bytes[2] = {};  // by BtsnoopDirection; H4 type bytes included
};

// Counts one packet of length bytes behind its H4 type byte.
void CountHciPacket(HciCounts* counts, BtsnoopDirection direction, uint8_t h4Type, size_t length);

// "commands C, events E, ACL to controller A, ACL from controller B, SCO to controller S,
// SCO from controller T, bytes to controller X, bytes from controller Y"
std::string FormatHciCounts(const HciCounts& counts);

// One packet passing between a test host and a controller: counted, then written to the
// capture when there is one (capture may be nullptr). dropsSoFar and *error as
// CaptureWritePacket.
CaptureWriteResult TapHciPacket(HciCapture* capture, HciCounts* counts, BtsnoopDirection direction, uint8_t h4Type,
                                const uint8_t* packet, size_t length, uint64_t dropsSoFar, int* error);
