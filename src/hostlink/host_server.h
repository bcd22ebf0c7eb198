// The host link's parts below ServeTestHost, with the driver writer and the diag
// responder given, so that tests and fuzzers can drive a real connection.
#pragma once

#include "hostlink/diag_receive.h"
#include "hostlink/hostlink.h"

// ServeTestHost with its seams: ServeTestHost(ctx, port) is this with
// DriverWriterFor(ctx) and HandleDiagRequest.
int ServeTestHostWith(FtmAppContext* ctx, int port, const DriverWriter& writer, DiagResponder responder);

// The receive loop on ctx's client socket, until the test host disconnects, the
// connection dies or the stop sequence runs: HOST_CONNECTION_OVER; HOST_SILENT when the
// host sent nothing within TARNEXIO_IDLE_TIMEOUT.
int RunReceiveLoop(FtmAppContext* ctx, const DriverWriter& writer, DiagResponder responder);
