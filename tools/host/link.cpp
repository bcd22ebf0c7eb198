#include "link.h"

#include "text.h"

namespace host {

Link::Link() {
  WSADATA data;
  started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

Link::~Link() {
  if (socket_ != INVALID_SOCKET) closesocket(socket_);
  if (started_) WSACleanup();
}

bool Link::Connect(const std::string& hostName, const std::string& port, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(hostName.c_str(), port.c_str(), &hints, &found);
  if (rc != 0 || found == nullptr) {
    *error = "cannot resolve " + hostName + " (" + (rc != 0 ? std::string(gai_strerror(rc)) : "no address") + ")";
    return false;
  }
  int lastError = 0;
  for (addrinfo* a = found; a != nullptr && socket_ == INVALID_SOCKET; a = a->ai_next) {
    SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
      lastError = WSAGetLastError();
      continue;
    }
    if (connect(s, a->ai_addr, (int)a->ai_addrlen) == SOCKET_ERROR) {
      lastError = WSAGetLastError();
      closesocket(s);
      continue;
    }
    socket_ = s;
  }
  freeaddrinfo(found);
  if (socket_ == INVALID_SOCKET) {
    *error = "cannot connect to " + hostName + ":" + port + " (" + SocketErrorText(lastError) + ")";
    if (lastError == WSAECONNREFUSED)
      *error += ": no bridge listens there; one run of the bridge serves one test host, so start it again for "
                "the next";
    return false;
  }
  // Each request goes out at once: round trips are what ping measures.
  const int one = 1;
  setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  return true;
}

bool Link::SendAll(const Bytes& bytes, std::string* error) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const int n = (int)send(socket_, reinterpret_cast<const char*>(bytes.data() + sent), (int)(bytes.size() - sent), 0);
    if (n <= 0) {
      *error = "send failed (" + SocketErrorText(WSAGetLastError()) + ")";
      return false;
    }
    sent += (size_t)n;
  }
  return true;
}

int Link::Receive(uint8_t* buffer, int capacity, uint32_t ms, std::string* error) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket_, &readable);
  timeval wait;
  wait.tv_sec = (long)(ms / 1000);
  wait.tv_usec = (long)(ms % 1000) * 1000;
  const int ready = select((int)socket_ + 1, &readable, nullptr, nullptr, &wait);
  if (ready == 0) return 0;
  if (ready < 0) {
    if (WSAGetLastError() == WSAEINTR) return 0;
    *error = "select failed (" + SocketErrorText(WSAGetLastError()) + ")";
    return -1;
  }
  const int n = (int)recv(socket_, reinterpret_cast<char*>(buffer), capacity, 0);
  if (n > 0) return n;
  *error = n == 0 ? "the bridge closed the connection" : "receive failed (" + SocketErrorText(WSAGetLastError()) + ")";
  return -1;
}

}  // namespace host
