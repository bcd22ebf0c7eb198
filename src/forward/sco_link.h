// SCO link tracking, done by the event reader on every event before it goes to the test
// host.
#pragma once

#include "core/context.h"
#include "driver/driver.h"

// SCO link tracking on one event (event code, parameter length, parameters), with the
// tracking state of the event reader. May reset the SCO gate of ctx and select interface 0.
void TrackScoLink(FtmAppContext* ctx, const BYTE* event, int length, WORD* scoConnectionHandle,
                  const DriverWriter& writer);
