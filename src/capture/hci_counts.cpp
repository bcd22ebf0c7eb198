#include "capture/hci_counts.h"

#include "wire/h4.h"

namespace {

const char* const kKindNames[HCI_KIND_COUNT] = {
    "commands",          "events",
    "ACL to controller", "ACL from controller",
    "SCO to controller", "SCO from controller",
};

}  // namespace

void CountHciPacket(HciCounts* counts, BtsnoopDirection direction, uint8_t h4Type, size_t length) {
  const bool toController = direction == BTSNOOP_TO_CONTROLLER;
  int kind = -1;
  switch (h4Type) {
    case H4_COMMAND: kind = HCI_KIND_COMMANDS; break;
    case H4_EVENT: kind = HCI_KIND_EVENTS; break;
    case H4_ACL: kind = toController ? HCI_KIND_ACL_TO_CONTROLLER : HCI_KIND_ACL_FROM_CONTROLLER; break;
    case H4_SCO: kind = toController ? HCI_KIND_SCO_TO_CONTROLLER : HCI_KIND_SCO_FROM_CONTROLLER; break;
    default: break;
  }
  if (kind >= 0) counts->packets[kind].fetch_add(1, std::memory_order_relaxed);
  counts->bytes[direction].fetch_add(1 + length, std::memory_order_relaxed);
}

std::string FormatHciCounts(const HciCounts& counts) {
  std::string text;
  for (int kind = 0; kind < HCI_KIND_COUNT; ++kind) {
    text += kKindNames[kind];
    text += ' ';
    text += std::to_string(counts.packets[kind].load());
    text += ", ";
  }
  text += "bytes to controller " + std::to_string(counts.bytes[BTSNOOP_TO_CONTROLLER].load());
  text += ", bytes from controller " + std::to_string(counts.bytes[BTSNOOP_FROM_CONTROLLER].load());
  return text;
}

CaptureWriteResult TapHciPacket(HciCapture* capture, HciCounts* counts, BtsnoopDirection direction, uint8_t h4Type,
                                const uint8_t* packet, size_t length, uint64_t dropsSoFar, int* error) {
  CountHciPacket(counts, direction, h4Type, length);
  if (capture == nullptr) return CAPTURE_NOT_CAPTURING;
  return CaptureWritePacket(capture, direction, h4Type, packet, length, dropsSoFar, error);
}
