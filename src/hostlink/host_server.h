// The host link's parts below ServeTestHost, with the driver writer and the diag
// responder given, so that tests and fuzzers can drive a real connection.
#pragma once

#include "hostlink/diag_receive.h"
#include "hostlink/hostlink.h"

// ServeTestHost with its seams: ServeTestHost(port) is this with kDriverWriter and
// HandleDiagRequest.
int ServeTestHostWith(int port, const DriverWriter& writer, DiagResponder responder);

// The receive loop on clientSocket, until the test host disconnects, the connection dies
// or the stop sequence runs. Returns HOST_CONNECTION_OVER.
int RunReceiveLoop(const DriverWriter& writer, DiagResponder responder);
