// The items of every packet dump on the console, assembled so that a whole line is
// printed at once.
#pragma once

#include "platform/platform.h"

enum {
  HEX_ITEM_CHARS = 3,           // "%02x " per byte
  PREFIXED_HEX_ITEM_CHARS = 5,  // "0x%x " per byte, at most
};

// Writes one item per byte, "%02x " or, when prefixed, "0x%x ", to out and a terminating
// zero behind them. Stops before out would overflow its outCapacity characters. Returns
// the number of characters written.
int FormatHexItems(const BYTE* data, int length, bool prefixed, wchar_t* out, int outCapacity);

// The longest HCI command: opcode, parameter length and 255 parameter bytes.
enum { HCI_COMMAND_MAX = 3 + 255 };

// The line of an HCI command written to the controller, printed by the raw demultiplexer
// and the diag responder alike: "BTFTM: HCI cmd(to btsoc)(%d):", a "%02x " item per byte
// (of at most HCI_COMMAND_MAX bytes) and a line end.
void PrintHciCommand(const BYTE* command, int length);
