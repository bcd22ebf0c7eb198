#include "core/settings.h"
#include "hostlink/host_server.h"
#include "hostlink/raw_demux.h"

#include <cstdio>
#include <cstring>

namespace {

// Receive errors after which the connection can never deliver another byte.
bool ConnectionIsGone(int error) {
  switch (error) {
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENOTCONN:
    case WSAENOTSOCK:
    case WSAESHUTDOWN:
    case WSAETIMEDOUT:
    case WSAEBADF:
      return true;
    default:
      return false;
  }
}

int LeaveOnDisconnect(FtmAppContext* ctx) {
  print_message(L"BTFTM : Client disconnected\n");
  CloseSocketOnce(&ctx->listenSocket, false);
  WSACleanup();
  fflush(stdout);
  return HOST_CONNECTION_OVER;
}

int LeaveOnStop(int received, int error) {
  print_message(L"BTFTM : App is exiting, coming out of main thread\n");
  if (received == SOCKET_ERROR) {
    print_message(L"BTFTM : recv failed : %d\n", error);
  }
  return HOST_CONNECTION_OVER;
}

enum { IDLE_TIMEOUT_MAX_S = 2147483 };  // in milliseconds, an int

// TARNEXIO_IDLE_TIMEOUT in seconds, or 0 when unset.
int IdleTimeoutSeconds() {
  unsigned long seconds = 0;
  return ReadNumberSetting(L"TARNEXIO_IDLE_TIMEOUT", IDLE_TIMEOUT_MAX_S, L"seconds", &seconds) ? int(seconds) : 0;
}

// With TARNEXIO_IDLE_TIMEOUT set, a test host that sends nothing at all in that time is let
// go, so that it cannot hold the bench: false then, with its connection closed.
bool AwaitFirstBytes(FtmAppContext* ctx) {
  const int seconds = IdleTimeoutSeconds();
  if (seconds == 0) return true;
  if (WaitReceivable(ctx->host.clientSocket.load(), seconds * 1000) != 0 || ctx->exitFlag == 1) return true;
  print_message(L"BTFTM : The test host sent nothing within TARNEXIO_IDLE_TIMEOUT (%d s), closing its connection\n",
                seconds);
  CloseSocketOnce(&ctx->host.clientSocket, true);
  WSACleanup();
  return false;
}

int ReceiveUntilOver(FtmAppContext* ctx, const DriverWriter& writer, DiagResponder responder, PeerLines* lines) {
  if (!AwaitFirstBytes(ctx)) return HOST_SILENT;
  BYTE buf[HOST_RECV_CAPACITY + 1];
  RawDemuxState rawState = {};
  rawState.drops = &ctx->tap.drops;
  rawState.lines = lines;
  int carry = 0;

  for (;;) {
    // Everything behind the carried bytes reads as zero, so a header byte that has not
    // arrived counts as 0. A failed receive writes nothing, so clearing again after one
    // changes nothing.
    memset(buf + carry, 0, HOST_RECV_CAPACITY - carry);
    const int received = recv(ctx->host.clientSocket.load(), (char*)buf + carry, HOST_RECV_CAPACITY - carry, 0);
    const int error = received == SOCKET_ERROR ? WSAGetLastError() : 0;
    if (received == 0) {
      return LeaveOnDisconnect(ctx);
    }
    if (ctx->exitFlag == 1) {
      return LeaveOnStop(received, error);
    }
    if (received == SOCKET_ERROR) {
      print_message(L"BTFTM: Socket recv returned error = %d", error);
      if (ConnectionIsGone(error)) {
        return LeaveOnDisconnect(ctx);
      }
      continue;
    }

    const int total = carry + received;
    buf[total] = 0;
    if (ctx->diagMode == 1) {
      carry = DiagReceiveStep(buf, total, responder, &ctx->host, writer);
    } else {
      carry = DemuxRawPackets(buf, total, &rawState, writer);
    }
    EndPeerReceive(lines);
  }
}

}  // namespace

int RunReceiveLoop(FtmAppContext* ctx, const DriverWriter& writer, DiagResponder responder) {
  PeerLines lines;
  ctx->host.peerLines = &lines;
  const int over = ReceiveUntilOver(ctx, writer, responder, &lines);
  ctx->host.peerLines = nullptr;
  EndPeerLines(&lines);
  return over;
}
