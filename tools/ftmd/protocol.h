// ftmd speaks the device channel's contract (wire/devchan.h, wire/ftm_contract.h) under
// its own namespace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "wire/devchan.h"
#include "wire/ftm_contract.h"

namespace ftmd {

using namespace wire;

using Bytes = std::vector<uint8_t>;

// Short names of the codes, for log lines ("?" for an unknown code).
const char* codeName(uint32_t code);

}  // namespace ftmd
