// The HCI commands, events and status codes tarnexio-host knows by name.
#pragma once

#include <cstdint>
#include <string>

#include "wire/diag_packets.h"  // the diag request codes whose replies are decoded
#include "wire/hci.h"

namespace host {

// "HCI_Reset", or "OGF 0x3f OCF 0x0001" for a command without a name here.
std::string CommandName(uint16_t opcode);
// The name of an HCI error code ("Success", "Unknown HCI Command", ...), or "Reserved".
const char* StatusName(uint8_t status);
// An event as the await step names it ("connection-complete", "le-connection-complete")
// or by its code ("0x05", "5"); false for neither. *subevent is the LE Meta subevent, 0
// for any.
bool EventByName(const std::string& text, uint8_t* code, uint8_t* subevent);
// The event names await knows, separated by ", ".
const char* EventNameList();
// "5.3" for HCI/LMP version 0x0c; "" when unknown.
const char* CoreVersionName(uint8_t version);

}  // namespace host
