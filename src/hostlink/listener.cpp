#include "diag/diag.h"
#include "hostlink/host_server.h"

namespace {

enum { WINSOCK_VERSION_2_2 = 0x0202, LISTEN_BACKLOG = 3 };

int FailSetUp(FtmAppContext* ctx) {
  CloseSocketOnce(&ctx->listenSocket, false);
  WSACleanup();
  return HOST_SETUP_FAILED;
}

bool StopBegun(const FtmAppContext* ctx) { return ctx->exitFlag.load() == 1; }

// The stop sequence began before a test host came: what the set-up made is closed, and
// main ends the run with its clean-up.
int EndStoppedSetUp(FtmAppContext* ctx) {
  FailSetUp(ctx);
  return HOST_STOPPED_BEFORE_HOST;
}

// Names the address and port test hosts connect to, as the system bound them.
void PrintListeningAddress(SOCKET listening, sockaddr_in bound) {
  socklen_t length = sizeof bound;
  getsockname(listening, (sockaddr*)&bound, &length);  // on failure the requested address stands
  const unsigned long ip = ntohl(bound.sin_addr.s_addr);
  print_message(L"BTFTM : Listening on TCP port %u, address %lu.%lu.%lu.%lu%ls\n", (unsigned)ntohs(bound.sin_port),
                (ip >> 24) & 0xFF, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF, ip & 0xFF,
                ip == INADDR_ANY ? L" (every local address)" : L"");
}

}  // namespace

int ServeTestHost(FtmAppContext* ctx, int port) {
  return ServeTestHostWith(ctx, port, DriverWriterFor(ctx), HandleDiagRequest);
}

int ServeTestHostWith(FtmAppContext* ctx, int port, const DriverWriter& writer, DiagResponder responder) {
  WSADATA wsaData;
  if (WSAStartup(WINSOCK_VERSION_2_2, &wsaData) != 0) {
    print_message(L"BTFTM : Error at WSAStartup()\n");
    return HOST_SETUP_FAILED;
  }

  const SOCKET created = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (created == INVALID_SOCKET) {
    print_message(L"BTFTM : socket function failed with error: %u\n", (unsigned)WSAGetLastError());
    return HOST_SETUP_FAILED;
  }
  ctx->listenSocket = created;
  print_message(L"BTFTM : Ethernet Socket created\n");
  // A reader may have run the stop sequence already (its device gone, or the controller in
  // use), or run it now. The socket is published before the flag is read, and the stop sets
  // the flag before it takes the socket (both sequentially consistent): either this read
  // sees the stop, or the stop finds the socket and shuts it down, and then the steps below
  // fail (a shut-down listening socket fails accept at once) instead of waiting for a host.
  if (StopBegun(ctx)) return EndStoppedSetUp(ctx);

  // Each call reads the listening socket afresh: a stop sequence may have closed it meanwhile.
  int reuse = 1;
  setsockopt(ctx->listenSocket.load(), SOL_SOCKET, SO_REUSEADDR, (char*)&reuse, sizeof reuse);

  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons((unsigned short)(port & 0xFFFF));
  if (bind(ctx->listenSocket.load(), (sockaddr*)&address, sizeof address) == SOCKET_ERROR) {
    if (StopBegun(ctx)) return EndStoppedSetUp(ctx);  // the stop took the socket: no port to blame
    ReportBindFailure(port & 0xFFFF, WSAGetLastError());
    print_message(L"BTFTM : Bind failed. Close socket");
    return FailSetUp(ctx);
  }
  print_message(L"BTFTM: binding done\n");

  if (listen(ctx->listenSocket.load(), LISTEN_BACKLOG) == SOCKET_ERROR) {
    if (StopBegun(ctx)) return EndStoppedSetUp(ctx);
    print_message(L"BTFTM : listen function failed with error: %d\n", WSAGetLastError());
    return FailSetUp(ctx);
  }
  print_message(L"BTFTM : Listening on socket...\n");
  PrintListeningAddress(ctx->listenSocket.load(), address);
  print_message(L"BTFTM : Waiting for incoming Ethernet connections... \n");

  sockaddr_in peer = {};
  socklen_t peerLength = sizeof peer;
  const SOCKET accepted = accept(ctx->listenSocket.load(), (sockaddr*)&peer, &peerLength);
  if (accepted == INVALID_SOCKET) {
    print_message(L"BTFTM : accept failed\n");
    return FailSetUp(ctx);
  }
  // One test host per run: the listening socket goes as soon as it is accepted, so that
  // another host's connect is refused at once rather than queued and never answered.
  CloseSocketOnce(&ctx->listenSocket, false);
  int noDelay = 1;
  setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, (char*)&noDelay, sizeof noDelay);
  SetTcpKeepAlive(accepted, HOST_KEEPALIVE_IDLE_S, HOST_KEEPALIVE_INTERVAL_S, HOST_KEEPALIVE_COUNT);
  ctx->host.clientSocket = accepted;
  if (ctx->exitFlag == 1) {
    // A stop sequence that ran while accept was returning found no connection to close;
    // close it here so the receive loop ends instead of waiting on it.
    CloseSocketOnce(&ctx->host.clientSocket, true);
  }
  print_message(L"BTFTM : Ethernet Connected!\n");

  return RunReceiveLoop(ctx, writer, responder);
}
