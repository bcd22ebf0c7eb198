// Reference frames for the diag tests, written by hand and independent of src/wire: the
// FCS computed bit by bit, a frame encoder and decoder and a plain frame builder. The
// frame code of the program is checked against these.
#pragma once

#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

// FCS-16 computed one bit at a time, without the table of the product.
uint16_t BitwiseFcs16(const Bytes& data, uint16_t fcs = 0xFFFF);

// The packet as a frame: the packet, its complemented FCS low byte first, 7D and 7E
// escaped when asked, then 7E.
Bytes ReferenceFrame(const Bytes& packet, bool escape);

// Removes the closing flag and the escape pairs of a frame; fails the test when the
// frame is not closed by a single flag.
Bytes DecodeFrame(const Bytes& frame, bool escaped);

// The packet followed by the given FCS bytes and the flag, as a frame with no escaping.
Bytes PlainFrame(const Bytes& packet, uint8_t fcsLow, uint8_t fcsHigh);
