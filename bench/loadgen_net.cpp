#include "loadgen_net.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "wire/h4.h"

namespace loadgen {

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons((uint16_t)port);
  return addr;
}

int MillisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : (int)left;
}

uint16_t Fcs16(const uint8_t* data, size_t length) {
  uint16_t fcs = 0xFFFF;
  for (size_t i = 0; i < length; ++i) {
    fcs ^= data[i];
    for (int bit = 0; bit < 8; ++bit) fcs = (uint16_t)((fcs & 1) ? (fcs >> 1) ^ 0x8408 : fcs >> 1);
  }
  return fcs;
}

}  // namespace

Link::Link(int port, int timeoutMs, int retryMs) : buf_(1 << 16), packet_(1 << 16) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_in addr = Loopback(port);
    if (connect(fd, (sockaddr*)&addr, sizeof addr) == 0) {
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      fd_ = fd;
      return;
    }
    close(fd);
    if (Clock::now() >= deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(retryMs));
  }
}

Link::~Link() {
  if (fd_ >= 0) close(fd_);
}

bool Link::Send(const uint8_t* data, size_t length) {
  size_t sent = 0;
  while (sent < length) {
    ssize_t n = send(fd_, data + sent, length - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += (size_t)n;
  }
  return true;
}

bool Link::Fill(Clock::time_point deadline) {
  if (start_ == end_) {
    start_ = end_ = 0;
  } else if (start_ > buf_.size() / 2) {
    std::memmove(buf_.data(), buf_.data() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
  }
  for (;;) {
    pollfd p = {fd_, POLLIN, 0};
    int ready = poll(&p, 1, MillisLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t n = recv(fd_, buf_.data() + end_, buf_.size() - end_, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    end_ += (size_t)n;
    return true;
  }
}

bool Link::ReceiveH4(Bytes* packet, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  // The buffered bytes are taken only when a whole packet is there; an unknown type byte
  // or a packet longer than the buffer stays where it is.
  H4Parser parser;
  H4Init(&parser, 1 << H4_EVENT | 1 << H4_ACL | 1 << H4_SCO, packet_.data(), packet_.size());
  size_t fed = 0;
  for (;;) {
    H4Result result;
    fed += H4Feed(&parser, buf_.data() + start_ + fed, Buffered() - fed, &result);
    if (result == H4_BAD_TYPE || result == H4_TOO_LONG) return false;
    if (result == H4_PACKET) {
      packet->assign(packet_.begin(), packet_.begin() + (long)parser.have);
      start_ += fed;
      return true;
    }
    if (!Fill(deadline)) return false;
  }
}

bool Link::ReceiveFrame(Bytes* frame, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t scanned = 0;
  for (;;) {
    const uint8_t* b = buf_.data() + start_;
    const void* flag = std::memchr(b + scanned, 0x7E, Buffered() - scanned);
    if (flag != nullptr) {
      size_t size = (size_t)((const uint8_t*)flag - b) + 1;
      frame->assign(b, b + size);
      start_ += size;
      return true;
    }
    scanned = Buffered();
    if (!Fill(deadline)) return false;
  }
}

Bytes EncodeFrame(const Bytes& packet) {
  const uint16_t fcs = (uint16_t)~Fcs16(packet.data(), packet.size());
  Bytes raw = packet;
  raw.push_back((uint8_t)(fcs & 0xFF));
  raw.push_back((uint8_t)(fcs >> 8));
  Bytes frame;
  for (uint8_t value : raw) {
    if (value == 0x7D || value == 0x7E) {
      frame.push_back(0x7D);
      frame.push_back((uint8_t)(value ^ 0x20));
    } else {
      frame.push_back(value);
    }
  }
  frame.push_back(0x7E);
  return frame;
}

Bytes DecodeFrame(const Bytes& frame, bool* ok) {
  Bytes raw;
  *ok = false;
  if (frame.empty() || frame.back() != 0x7E) return raw;
  for (size_t i = 0; i + 1 < frame.size(); ++i) {
    if (frame[i] == 0x7D) {
      if (i + 2 >= frame.size()) return raw;
      raw.push_back((uint8_t)(frame[++i] ^ 0x20));
    } else {
      raw.push_back(frame[i]);
    }
  }
  if (raw.size() < 2 || Fcs16(raw.data(), raw.size()) != 0xF0B8) return raw;
  raw.resize(raw.size() - 2);
  *ok = true;
  return raw;
}

long long PeakResidentKiB(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6));
  }
  return -1;
}

namespace {

// Calls read with each line of every live thread's file name (under /proc/PID/task/TID)
// and sums what it returns; -1 when the process is gone.
template <typename Read>
long long SumOverThreads(int pid, const char* name, Read read) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return -1;
  long long total = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream in(tasks + "/" + entry->d_name + "/" + name);
    std::string line;
    while (std::getline(in, line)) total += read(line);
  }
  closedir(dir);
  return total;
}

}  // namespace

long long CpuNanoseconds(int pid) {
  // schedstat: time on the CPU (ns), time waiting to run (ns), time slices
  return SumOverThreads(pid, "schedstat", [](const std::string& line) { return std::stoll(line); });
}

long long ContextSwitches(int pid) {
  return SumOverThreads(pid, "status", [](const std::string& line) {
    if (line.rfind("voluntary_ctxt_switches:", 0) != 0 && line.rfind("nonvoluntary_ctxt_switches:", 0) != 0) {
      return 0LL;
    }
    return std::stoll(line.substr(line.find(':') + 1));
  });
}

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr = Loopback(0);
  socklen_t size = sizeof addr;
  int port = -1;
  if (bind(fd, (sockaddr*)&addr, sizeof addr) == 0 && getsockname(fd, (sockaddr*)&addr, &size) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

}  // namespace loadgen
