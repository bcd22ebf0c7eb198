// SCO link tracking, done by the event reader on every event before it goes to the test
// host.
#pragma once

#include "core/context.h"
#include "driver/driver.h"

// SCO link tracking on one event of length bytes (event code, parameter length,
// parameters), with the tracking state of the event reader. A successful Connection
// Complete for an SCO link or Synchronous Connection Complete records its handle; a
// successful Disconnection Complete of the recorded handle resets the SCO gate of sco and
// selects interface 0 through writer. Failed events and events too short for their fields
// change nothing.
void TrackScoLink(ScoSelection* sco, const BYTE* event, int length, WORD* scoConnectionHandle,
                  const DriverWriter& writer);
