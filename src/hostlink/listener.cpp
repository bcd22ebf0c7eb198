#include "diag/diag.h"
#include "hostlink/host_server.h"

#include <cstring>
#include <string>

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

// The socket address of an address and port, and its length.
socklen_t SocketAddressOf(const NetAddress& address, int port, sockaddr_storage* out) {
  *out = sockaddr_storage{};
  if (address.v6) {
    sockaddr_in6* in6 = (sockaddr_in6*)out;
    in6->sin6_family = AF_INET6;
    std::memcpy(&in6->sin6_addr, address.bytes, 16);
    in6->sin6_port = htons((unsigned short)(port & 0xFFFF));
    return sizeof *in6;
  }
  sockaddr_in* in = (sockaddr_in*)out;
  in->sin_family = AF_INET;
  std::memcpy(&in->sin_addr, address.bytes, 4);
  in->sin_port = htons((unsigned short)(port & 0xFFFF));
  return sizeof *in;
}

// The address and port of a socket address.
NetAddress AddressOfSocket(const sockaddr_storage& from, unsigned* port) {
  NetAddress address;
  if (from.ss_family == AF_INET6) {
    const sockaddr_in6* in6 = (const sockaddr_in6*)&from;
    address.v6 = true;
    std::memcpy(address.bytes, &in6->sin6_addr, 16);
    *port = ntohs(in6->sin6_port);
  } else {
    const sockaddr_in* in = (const sockaddr_in*)&from;
    std::memcpy(address.bytes, &in->sin_addr, 4);
    *port = ntohs(in->sin_port);
  }
  return address;
}

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// Names the address and port test hosts connect to, as the system bound them: the line
// of every run ("address 0.0.0.0 (every local address)" unless TARNEXIO_LISTEN says
// otherwise; an IPv6 address is written as it is, without brackets, up to the line's end
// or the note after it).
void PrintListeningAddress(SOCKET listening, sockaddr_storage bound) {
  socklen_t length = sizeof bound;
  getsockname(listening, (sockaddr*)&bound, &length);  // on failure the requested address stands
  unsigned port = 0;
  const NetAddress address = AddressOfSocket(bound, &port);
  print_message(L"BTFTM : Listening on TCP port %u, address %ls%ls\n", port, Wide(NetAddressText(address)).c_str(),
                IsAnyNetAddress(address) ? L" (every local address)" : L"");
}

// Accepts the next connection from an allowed address. One from elsewhere is closed at
// once, with one line that names it, and the wait goes on: it is not the run's test host.
SOCKET AcceptAllowedHost(FtmAppContext* ctx) {
  for (;;) {
    sockaddr_storage peer = {};
    socklen_t peerLength = sizeof peer;
    const SOCKET accepted = accept(ctx->listenSocket.load(), (sockaddr*)&peer, &peerLength);
    if (accepted == INVALID_SOCKET || ctx->allowedHosts.empty()) return accepted;
    unsigned port = 0;
    const NetAddress address = AddressOfSocket(peer, &port);
    if (NetPrefixesHold(ctx->allowedHosts, address)) return accepted;
    closesocket(accepted);
    print_message(L"BTFTM : Connection from %ls port %u refused: its address is not in TARNEXIO_ALLOW\n",
                  Wide(NetAddressText(UnmappedNetAddress(address))).c_str(), port);
  }
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

  const NetAddress listenAddress = ctx->listenAddress;
  const SOCKET created = socket(listenAddress.v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
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

  if (listenAddress.v6) {
    // "::" is every local address of both kinds, as 0.0.0.0 is of IPv4, on every system
    // (Windows makes IPv6 sockets IPv6 only by default, Linux does not).
    int v6Only = IsAnyNetAddress(listenAddress) ? 0 : 1;
    setsockopt(ctx->listenSocket.load(), IPPROTO_IPV6, IPV6_V6ONLY, (char*)&v6Only, sizeof v6Only);
  }

  sockaddr_storage address;
  const socklen_t addressLength = SocketAddressOf(listenAddress, port, &address);
  if (bind(ctx->listenSocket.load(), (sockaddr*)&address, addressLength) == SOCKET_ERROR) {
    if (StopBegun(ctx)) return EndStoppedSetUp(ctx);  // the stop took the socket: no port to blame
    ctx->portRefused = true;
    ReportBindFailure(port & 0xFFFF, IsAnyNetAddress(listenAddress) ? "" : NetAddressText(listenAddress),
                      WSAGetLastError());
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

  const SOCKET accepted = AcceptAllowedHost(ctx);
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
  if (ctx->hostConnected != nullptr) ctx->hostConnected(ctx, ctx->hostConnectedArg);

  return RunReceiveLoop(ctx, writer, responder);
}
