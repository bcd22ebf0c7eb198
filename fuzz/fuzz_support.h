// Helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

using FuzzBytes = std::vector<uint8_t>;

// Sends the program's console output to /dev/null once, so that runs stay fast.
void SilenceConsole();

// Stops the run with a message when a property does not hold.
void FuzzCheck(bool holds, const char* what);

// FCS-16 computed bit by bit, independent of the program's table; not complemented.
uint16_t ReferenceFcs(const uint8_t* data, size_t n);
