#include "http_get.h"

#include "child_process.h"
#include "test_time.h"

#include <cstdio>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarnexio_test {

HttpReply HttpGet(int port, const std::string& target, std::chrono::milliseconds timeout) {
  HttpReply reply;
  const auto deadline = std::chrono::steady_clock::now() + Scaled(timeout);
  const int fd = ConnectLoopback(port);
  if (fd < 0) return reply;
  const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  std::string raw;
  bool whole = send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size());
  while (whole) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0) {
      whole = false;
      break;
    }
    char buffer[8192];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0) whole = false;
    if (n <= 0) break;
    raw.append(buffer, size_t(n));
  }
  close(fd);
  const size_t headEnd = raw.find("\r\n\r\n");
  if (!whole || headEnd == std::string::npos || std::sscanf(raw.c_str(), "HTTP/%*d.%*d %d", &reply.status) != 1) {
    reply.status = 0;
    return reply;
  }
  reply.body = raw.substr(headEnd + 4);
  return reply;
}

std::string UrlEncoded(const std::string& value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : value) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.') {
      out += char(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace tarnexio_test
