// Reference frames for the diag tests: an FCS computed independently of the product's
// tables, a frame decoder and a plain frame builder.
#pragma once

#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

// FCS-16 computed one bit at a time, without the table of the product.
uint16_t BitwiseFcs16(const Bytes& data, uint16_t fcs = 0xFFFF);

// Removes the closing flag and the escape pairs of a frame; fails the test when the
// frame is not closed by a single flag.
Bytes DecodeFrame(const Bytes& frame, bool escaped);

// The packet followed by the given FCS bytes and the flag, as a frame with no escaping.
Bytes PlainFrame(const Bytes& packet, uint8_t fcsLow, uint8_t fcsHigh);
