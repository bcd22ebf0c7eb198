// The device channel's requests as the server reads them, and log names of the codes.
#pragma once

#include "protocol.h"

namespace ftmd {

using Request = DevchanRequest;
using ParseResult = DevchanParseResult;

}  // namespace ftmd
