// Host link: the TCP server for the test host and its receive loop.
#pragma once

#include "core/context.h"
#include "platform/platform.h"

enum {
  HOST_SETUP_FAILED = 1,     // main returns 1 at once, without the clean-up
  HOST_CONNECTION_OVER = 0,  // main goes on with the final clean-up
  // The stop sequence began before the server listened: nothing is left open, and main
  // ends with the final clean-up and its code for a run that served no test host.
  HOST_STOPPED_BEFORE_HOST = 2,
  // The test host sent nothing at all within TARNEXIO_IDLE_TIMEOUT: its connection was
  // closed, and main ends with the final clean-up and its code for a run that served no
  // test host.
  HOST_SILENT = 3,
};

// Keepalive on the test host's connection: a peer gone without a word is found within
// HOST_KEEPALIVE_IDLE_S + HOST_KEEPALIVE_COUNT * HOST_KEEPALIVE_INTERVAL_S seconds (two
// minutes; on Windows, whose count is 10, under three).
enum { HOST_KEEPALIVE_IDLE_S = 60, HOST_KEEPALIVE_INTERVAL_S = 10, HOST_KEEPALIVE_COUNT = 6 };

// Listens on the low 16 bits of port, accepts one test host and runs the receive loop
// until the test host disconnects or the stop sequence runs. The sockets are ctx's. A
// stop that begins while accept waits makes accept fail (HOST_SETUP_FAILED); one that
// began before the server listened ends it without listening (HOST_STOPPED_BEFORE_HOST);
// a host that sends nothing within TARNEXIO_IDLE_TIMEOUT is let go (HOST_SILENT).
int ServeTestHost(FtmAppContext* ctx, int port);
