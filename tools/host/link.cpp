#include "link.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "wire/diag_frame.h"
#include "wire/h4.h"

namespace host {

namespace {

using Clock = std::chrono::steady_clock;

uint32_t MillisLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : (uint32_t)left;
}

Clock::time_point After(uint32_t ms) { return Clock::now() + std::chrono::milliseconds(ms); }

}  // namespace

Link::Link() : buffer_(1 << 16) {
  WSADATA data;
  started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

Link::~Link() {
  Close();
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
    SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
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
      *error += ": no bridge listens there, or the bridge there is already serving a test host (one run serves "
                "one host, and it stops listening once that host connects); start the bridge, or wait until its "
                "host is done and start it again";
    return false;
  }
  // Each request goes out at once: round trips are what ping measures.
  const int one = 1;
  setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  return true;
}

bool Link::ConnectLoopback(int port, uint32_t timeoutMs, uint32_t retryMs) {
  const Clock::time_point deadline = After(timeoutMs);
  while (!Connect("127.0.0.1", std::to_string(port), &error_)) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(retryMs));
  }
  return true;
}

bool Link::Send(const uint8_t* data, size_t length) {
  size_t sent = 0;
  while (socket_ != INVALID_SOCKET && sent < length) {
    const int n = (int)send(socket_, reinterpret_cast<const char*>(data + sent), (int)(length - sent), 0);
    if (n < 0 && WSAGetLastError() == WSAEINTR) continue;
    if (n <= 0) {
      error_ = "send failed (" + SocketErrorText(WSAGetLastError()) + ")";
      return false;
    }
    sent += (size_t)n;
  }
  return sent == length;
}

bool Link::SendAll(const Bytes& bytes, std::string* error) {
  if (Send(bytes.data(), bytes.size())) return true;
  *error = error_;
  return false;
}

int Link::Receive(uint8_t* buffer, int capacity, uint32_t ms, std::string* error) {
  if (Buffered() > 0 && capacity > 0) {
    const size_t n = std::min(Buffered(), (size_t)capacity);
    std::memcpy(buffer, buffer_.data() + start_, n);
    start_ += n;
    return (int)n;
  }
  return ReceiveFromSocket(buffer, capacity, ms, error);
}

int Link::ReceiveFromSocket(uint8_t* buffer, int capacity, uint32_t ms, std::string* error) {
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

bool Link::Fill(uint32_t ms) {
  if (socket_ == INVALID_SOCKET) return false;
  if (start_ == end_) {
    start_ = end_ = 0;
  } else if (start_ > buffer_.size() / 2) {
    std::memmove(buffer_.data(), buffer_.data() + start_, Buffered());
    end_ -= start_;
    start_ = 0;
  }
  if (end_ == buffer_.size()) buffer_.resize(2 * buffer_.size());
  const Clock::time_point deadline = After(ms);
  for (;;) {
    const int n = ReceiveFromSocket(buffer_.data() + end_, (int)(buffer_.size() - end_), MillisLeft(deadline), &error_);
    if (n > 0) {
      end_ += (size_t)n;
      return true;
    }
    if (n < 0 || Clock::now() >= deadline) return false;
  }
}

Link::H4Got Link::ReceiveH4(Bytes* packet, uint32_t ms) {
  const Clock::time_point deadline = After(ms);
  if (h4Packet_.empty()) h4Packet_.resize(1 + H4HeaderSize(H4_ACL) + H4MaxPayload(H4_ACL));
  // The buffered bytes are taken only when a whole packet is there, or a byte that starts
  // none; the buffer holds the longest packet of every type read.
  H4Parser parser;
  H4Init(&parser, 1 << H4_EVENT | 1 << H4_ACL | 1 << H4_SCO, h4Packet_.data(), h4Packet_.size());
  size_t fed = 0;
  for (;;) {
    H4Result result;
    fed += H4Feed(&parser, buffer_.data() + start_ + fed, Buffered() - fed, &result);
    if (result == H4_BAD_TYPE) {
      start_ += fed;
      packet->assign(1, parser.badByte);
      return H4Got::STRAY;
    }
    if (result == H4_PACKET) {
      start_ += fed;
      packet->assign(h4Packet_.begin(), h4Packet_.begin() + (long)parser.have);
      return H4Got::PACKET;
    }
    if (!Fill(MillisLeft(deadline))) return H4Got::NOTHING;
  }
}

bool Link::ReceiveFrame(Bytes* frame, uint32_t ms) {
  const Clock::time_point deadline = After(ms);
  size_t scanned = 0;
  for (;;) {
    const uint8_t* b = buffer_.data() + start_;
    const void* flag = std::memchr(b + scanned, DIAG_FLAG, Buffered() - scanned);
    if (flag != nullptr) {
      const size_t size = (size_t)((const uint8_t*)flag - b) + 1;
      frame->assign(b, b + size);
      start_ += size;
      return true;
    }
    scanned = Buffered();
    if (!Fill(MillisLeft(deadline))) return false;
  }
}

Bytes Link::ReceiveBytes(size_t n, uint32_t ms) {
  const Clock::time_point deadline = After(ms);
  while (Buffered() < n && Fill(MillisLeft(deadline))) {
  }
  const size_t take = std::min(n, Buffered());
  Bytes out(buffer_.begin() + (long)start_, buffer_.begin() + (long)(start_ + take));
  start_ += take;
  return out;
}

bool Link::Quiet(uint32_t ms) { return Buffered() == 0 && !Fill(ms); }

void Link::Close() {
  if (socket_ != INVALID_SOCKET) closesocket(socket_);
  socket_ = INVALID_SOCKET;
}

void Link::Reset() {
  if (socket_ == INVALID_SOCKET) return;
  linger l{};
  l.l_onoff = 1;
  l.l_linger = 0;
  setsockopt(socket_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  Close();
}

void Link::HalfClose() {
  if (socket_ != INVALID_SOCKET) shutdown(socket_, SD_SEND);
}

}  // namespace host
