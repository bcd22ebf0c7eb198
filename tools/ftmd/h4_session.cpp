#include "h4_session.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"

namespace ftmd {

namespace {
constexpr size_t kOutLimit = 1 << 20;  // bytes held for a client that reads slowly
}

H4Session::H4Session(Fd fd, const ControllerOptions& opt, TimerQueue& timers, CaptureFile* capture)
    : fd_(std::move(fd)), timers_(timers), capture_(capture) {
  controller_ = makeController(opt, *this);
  H4Init(&parser_, 1 << H4_COMMAND | 1 << H4_ACL | 1 << H4_SCO, packet_, sizeof packet_);
}

H4Session::~H4Session() {
  timers_.cancel(controller_.get());
  logLine(countsLine("H4 client", counts_));
}

bool H4Session::hasRoom(Channel) const { return out_.size() - outOff_ < kOutLimit; }

void H4Session::deliver(Channel ch, Bytes packet) {
  if (!hasRoom(ch)) {
    logOnce("an H4 client does not read: controller packets are dropped");
    countDroppedPacket();
    return;
  }
  static const uint8_t kType[3] = {H4_EVENT, H4_ACL, H4_SCO};
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
  const ssize_t n = recv(fd_.get(), buf, sizeof buf, MSG_DONTWAIT);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  return takePackets(buf, size_t(n)) && flush();
}

bool H4Session::onWritable() {
  if (broken_ || !flush()) return false;
  controller_->resume();
  return flush();
}

bool H4Session::takePackets(const uint8_t* data, size_t len) {
  for (;;) {
    H4Result result;
    const size_t taken = H4Feed(&parser_, data, len, &result);
    data += taken;
    len -= taken;
    switch (result) {
      case H4_NEED_MORE:
        return true;
      case H4_BAD_TYPE:
        logOnce("an H4 client sent an unknown packet type; its connection is closed");
        return false;
      case H4_TOO_LONG:  // only an ACL packet can be longer than the parser takes
        logOnce("an H4 client sent an ACL packet longer than 1024 bytes; its connection is closed");
        return false;
      case H4_PACKET: {
        const uint8_t* body = packet_ + 1;
        const size_t size = parser_.have - 1;
        tapPacket(capture_, counts_, BTSNOOP_TO_CONTROLLER, packet_[0], body, size);
        if (packet_[0] == H4_COMMAND)
          controller_->command(body, size);
        else if (packet_[0] == H4_ACL)
          controller_->acl(body, size);
        else
          controller_->sco(body, size);
        break;
      }
    }
  }
}

bool H4Session::flush() {
  while (outOff_ < out_.size()) {
    const ssize_t n = send(fd_.get(), out_.data() + outOff_, out_.size() - outOff_, MSG_DONTWAIT | MSG_NOSIGNAL);
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
