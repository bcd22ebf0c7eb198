// Hex dump items for the console lines of the diag subsystem.
#pragma once

#include "platform/platform.h"

enum { HEX_ITEM_CHARS = 3 };  // "%02x " per byte

// Writes "%02x " for each of the length bytes into out, followed by a terminating zero.
// out must hold length * HEX_ITEM_CHARS + 1 characters.
void FormatHexItems(const BYTE* data, int length, wchar_t* out);
