#include "h4_session.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"

namespace ftmd {

namespace {
constexpr size_t kOutLimit = 1 << 20;  // bytes held for a client that reads slowly
}

H4Session::H4Session(int fd, const ControllerOptions& opt, TimerQueue& timers, CaptureFile* capture)
    : fd_(fd), timers_(timers), capture_(capture) {
  controller_ = makeController(opt, *this);
}

H4Session::~H4Session() {
  timers_.cancel(controller_.get());
  close(fd_);
  logLine(countsLine("H4 client", counts_));
}

bool H4Session::hasRoom(Channel) const { return out_.size() - outOff_ < kOutLimit; }

void H4Session::deliver(Channel ch, Bytes packet) {
  if (!hasRoom(ch)) {
    logOnce("an H4 client does not read: controller packets are dropped");
    return;
  }
  static const uint8_t kType[3] = {0x04, 0x02, 0x03};
  tapPacket(capture_, counts_, BTSNOOP_FROM_CONTROLLER, kType[int(ch)], packet.data(), packet.size());
  out_.push_back(kType[int(ch)]);
  out_.insert(out_.end(), packet.begin(), packet.end());
}

void H4Session::after(std::chrono::milliseconds delay, std::function<void()> fn) {
  timers_.add(delay, controller_.get(), [this, fn = std::move(fn)] {
    fn();
    if (!flush()) broken_ = true;  // noticed at the next readable or writable event
  });
}

bool H4Session::onReadable() {
  uint8_t buf[65536];
  const ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  in_.insert(in_.end(), buf, buf + n);
  return takePackets() && flush();
}

bool H4Session::onWritable() {
  if (broken_ || !flush()) return false;
  controller_->resume();
  return flush();
}

bool H4Session::takePackets() {
  size_t pos = 0;
  bool ok = true;
  while (ok && in_.size() - pos >= 4) {
    const uint8_t* p = in_.data() + pos;
    size_t header = 0, body = 0;
    switch (p[0]) {
      case 0x01: header = 3; body = p[3]; break;
      case 0x03: header = 3; body = p[3]; break;
      case 0x02:
        if (in_.size() - pos < 5) break;
        header = 4;
        body = le16(p + 3);
        break;
      default:
        logOnce("an H4 client sent an unknown packet type; its connection is closed");
        ok = false;
        continue;
    }
    if (header == 0) break;  // ACL header not complete yet
    if (p[0] == 0x02 && body > kAclMaxData) {
      logOnce("an H4 client sent an ACL packet longer than 1024 bytes; its connection is closed");
      ok = false;
      continue;
    }
    const size_t total = 1 + header + body;
    if (in_.size() - pos < total) break;
    tapPacket(capture_, counts_, BTSNOOP_TO_CONTROLLER, p[0], p + 1, total - 1);
    if (p[0] == 0x01)
      controller_->command(p + 1, total - 1);
    else if (p[0] == 0x02)
      controller_->acl(p + 1, total - 1);
    else
      controller_->sco(p + 1, total - 1);
    pos += total;
  }
  in_.erase(in_.begin(), in_.begin() + long(pos));
  return ok;
}

bool H4Session::flush() {
  while (outOff_ < out_.size()) {
    const ssize_t n = send(fd_, out_.data() + outOff_, out_.size() - outOff_, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      if (errno == EINTR) continue;
      return false;
    }
    outOff_ += size_t(n);
  }
  if (outOff_ == out_.size()) {
    out_.clear();
    outOff_ = 0;
  } else if (outOff_ > kOutLimit) {
    out_.erase(out_.begin(), out_.begin() + long(outOff_));
    outOff_ = 0;
  }
  return true;
}

}  // namespace ftmd
