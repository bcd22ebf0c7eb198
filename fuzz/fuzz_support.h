// Helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "reference_fcs.h"  // ReferenceFcs: the FCS-16 bit by bit, the tests' oracle

using FuzzBytes = std::vector<uint8_t>;

// Sends the program's console output to /dev/null once, so that runs stay fast.
void SilenceConsole();

// Stops the run with a message when a property does not hold.
void FuzzCheck(bool holds, const char* what);
