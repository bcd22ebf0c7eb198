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

int ReceiveUntilOver(FtmAppContext* ctx, const DriverWriter& writer, DiagResponder responder, PeerLines* lines) {
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
