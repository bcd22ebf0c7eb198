#include "real_controller.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "capture.h"
#include "log.h"
#include "wire/hci.h"

namespace ftmd {

namespace {
constexpr size_t kOutLimit = 1 << 20;  // bytes for the controller that it has not taken
constexpr size_t kStreamReadSize = 4096;
constexpr int kFirstBackoffMs = 100;
constexpr int kMaxBackoffMs = 2000;
constexpr int kResetTimeoutMs = 2000;
const uint8_t kResetCommand[] = {H4_COMMAND, uint8_t(kOpReset), uint8_t(kOpReset >> 8), 0x00};

Channel channelOf(uint8_t type) {
  return type == H4_ACL ? Channel::Acl : type == H4_SCO ? Channel::Sco : Channel::Event;
}
}  // namespace

// What a host holds while traffic flows: its packets go to the transport. After the
// transport is lost (or the controller went to another host) it takes nothing more.
class RealController::Attached : public Controller {
 public:
  Attached(RealController& dev, ControllerHost& host) : dev_(dev), host_(host) {}
  ~Attached() override { dev_.detach(this); }
  void command(const uint8_t* p, size_t n) override { send(H4_COMMAND, p, n); }
  void acl(const uint8_t* p, size_t n) override { send(H4_ACL, p, n); }
  void sco(const uint8_t* p, size_t n) override { send(H4_SCO, p, n); }
  void resume() override {
    if (dev_.attached_ == this) dev_.drain();
  }
  bool takesInput() const override { return dev_.attached_ != this || dev_.takesInput(); }
  ControllerHost& host() const { return host_; }

 private:
  void send(uint8_t type, const uint8_t* p, size_t n) {
    if (dev_.attached_ == this)
      dev_.write(type, p, n);
    else
      ++dev_.lostWrites_;
  }
  RealController& dev_;
  ControllerHost& host_;
};

RealController::RealController(const Transport& transport, TimerQueue& timers, bool resetOnAttach, Opener opener)
    : transport_(transport), timers_(timers), resetOnAttach_(resetOnAttach), opener_(std::move(opener)), rx_(0x10000 + 8) {}

RealController::~RealController() {
  timers_.cancel(this);
  timers_.cancel(&awaitingReset_);
}

bool RealController::open(std::string& error) {
  TransportFd t = opener_(transport_);
  if (!t.fd.valid()) {
    error = t.error;
    return false;
  }
  fd_ = std::move(t.fd);
  packets_ = t.packets;
  logVerbose("controller " + name() + " opened");
  return true;
}

short RealController::pollEvents() const {
  if (!fd_.valid()) return 0;
  short ev = POLLRDHUP;  // a TCP controller's close shows only as this
  // Not read while the host has no room, nor while bytes already read wait for room.
  if (rxOff_ >= rxLen_ && !stream_.holdsInput() && hostHasRoom() && pendingLoss_.empty()) ev |= POLLIN;
  if (!out_.empty() && pendingLoss_.empty()) ev |= POLLOUT;
  return ev;
}

void RealController::onEvents(short revents) {
  // The other end went while ftmd held its input back (the host had no room): nothing of
  // what is left would reach the host, which hears of the loss now rather than when it
  // makes room again.
  if (fd_.valid() && (revents & (POLLHUP | POLLRDHUP | POLLERR)) && !(pollEvents() & POLLIN)) {
    return lose(revents & POLLERR ? "error on the transport" : "end of stream");
  }
  if (revents & POLLOUT) flushOut();
  if (fd_.valid() && pendingLoss_.empty() && (revents & (POLLIN | POLLHUP | POLLERR))) readIn();
}

bool RealController::claim(const void* who, const std::string& tag, std::string& why) {
  if (holder_ && holder_ != who) {
    why = "the controller " + name() + " is in use by " + holderTag_;
    return false;
  }
  if (!fd_.valid()) {
    why = "the controller " + name() + " is not connected";
    return false;
  }
  holder_ = who;
  holderTag_ = tag;
  return true;
}

void RealController::release(const void* who) {
  if (holder_ == who) holder_ = nullptr;
}

std::unique_ptr<Controller> RealController::attach(ControllerHost& host) {
  if (!fd_.valid()) return nullptr;
  auto a = std::make_unique<Attached>(*this, host);
  attached_ = a.get();
  logVerbose("controller " + name() + ": traffic starts for " + holderTag_);
  if (resetOnAttach_) {
    // Nothing reaches the host before the reset's Command Complete: what comes before it
    // belongs to whoever used the controller last.
    awaitingReset_ = true;
    out_.emplace_back(kResetCommand, kResetCommand + sizeof kResetCommand);
    outBytes_ += sizeof kResetCommand;
    timers_.add(std::chrono::milliseconds(kResetTimeoutMs), &awaitingReset_, [this] {
      logLine("controller " + name() + ": no Command Complete for the reset within " +
              std::to_string(kResetTimeoutMs) + " ms; traffic goes on without it");
      resetDone();
    });
    flushOut();
  }
  return a;
}

void RealController::detach(const Attached* a) {
  if (attached_ != a) return;
  attached_ = nullptr;
  lostWrites_ += heldOut_.size();
  heldOut_.clear();
  heldBytes_ = 0;
  awaitingReset_ = false;
  timers_.cancel(&awaitingReset_);
  logVerbose("controller " + name() + ": traffic stops");
}

void RealController::resetDone() {
  awaitingReset_ = false;
  timers_.cancel(&awaitingReset_);
  for (auto& p : heldOut_) {
    outBytes_ += p.size();
    out_.push_back(std::move(p));
  }
  heldOut_.clear();
  heldBytes_ = 0;
  flushOut();
}

void RealController::write(uint8_t type, const uint8_t* p, size_t n) {
  if (!fd_.valid() || !pendingLoss_.empty()) {
    ++lostWrites_;
    return;
  }
  ++(type == H4_COMMAND ? toCmd_ : type == H4_ACL ? toAcl_ : toSco_);
  std::vector<uint8_t> packet(1 + n);
  packet[0] = type;
  std::copy(p, p + n, packet.begin() + 1);
  if (awaitingReset_) {
    heldBytes_ += packet.size();
    heldOut_.push_back(std::move(packet));
    return;
  }
  outBytes_ += packet.size();
  out_.push_back(std::move(packet));
  if (outBytes_ > kOutLimit) return deferLoss("it takes no input (" + std::to_string(kOutLimit) + " bytes waiting)");
  flushOut();
}

void RealController::flushOut() {
  while (fd_.valid() && pendingLoss_.empty() && !out_.empty()) {
    const auto& p = out_.front();
    const ssize_t n = ::write(fd_.get(), p.data() + outOff_, p.size() - outOff_);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      return deferLoss(std::string("write failed: ") + std::strerror(errno));
    }
    outOff_ += size_t(n);
    bytesWritten_ += uint64_t(n);
    // A packet socket takes each packet whole or not at all.
    if (packets_ && outOff_ != p.size()) return deferLoss("a packet was cut short on write");
    if (outOff_ == p.size()) {
      outBytes_ -= p.size();
      out_.pop_front();
      outOff_ = 0;
    }
  }
}

void RealController::readIn() {
  if (rxOff_ < rxLen_ || stream_.holdsInput()) {
    drain();
    if (rxOff_ < rxLen_ || stream_.holdsInput()) return;
  }
  // A byte stream is read in small steps, so that what ftmd holds beyond what its host
  // takes stays small; a packet socket's read must hold a whole packet.
  const ssize_t n = ::read(fd_.get(), rx_.data(), packets_ ? rx_.size() : kStreamReadSize);
  if (n == 0) return lose("end of stream");
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    return lose(std::string("read failed: ") + std::strerror(errno));
  }
  rxLen_ = size_t(n);
  rxOff_ = 0;
  bytesRead_ += uint64_t(n);
  drain();
}

bool RealController::hostHasRoom() const {
  if (!attached_) return true;  // read on, so that the stream stays in step
  const ControllerHost& h = attached_->host();
  return h.hasRoom(Channel::Event) && h.hasRoom(Channel::Acl) && h.hasRoom(Channel::Sco);
}

void RealController::drain() {
  if (draining_) return;  // a host that makes room while taking a packet
  draining_ = true;
  while (fd_.valid() && (rxOff_ < rxLen_ || stream_.holdsInput())) {
    const size_t took = stream_.feed(
        rx_.data() + rxOff_, rxLen_ - rxOff_, [this](const uint8_t* p, size_t n) { take(p, n); },
        [this] { return hostHasRoom(); });
    rxOff_ += took;
    if (!hostHasRoom()) break;  // the rest waits for resume()
  }
  draining_ = false;
  if (stream_.resyncs() != loggedResyncs_ && !stream_.outOfStep()) {
    loggedResyncs_ = stream_.resyncs();
    logOnce("the controller's stream went out of step: bytes that start no packet are skipped (counted in the stop line)");
    logVerbose("controller " + name() + ": back in step after skipping bytes (" +
               std::to_string(stream_.skippedBytes()) + " skipped so far)");
  }
}

void RealController::take(const uint8_t* packet, size_t n) {
  const uint8_t type = packet[0];
  answered_ = true;
  if (type == H4_ISO) {
    ++fromIso_;
    countDroppedPacket();
    logOnce("the controller sent ISO data, which the device has no read for: it is dropped (counted in the stop line)");
    return;
  }
  if (!attached_) {
    ++noHost_;
    countDroppedPacket();
    logOnce("the controller sent packets while no host used it: they are dropped (counted in the stop line)");
    return;
  }
  if (awaitingReset_) {
    ++beforeReset_;
    if (type == H4_EVENT && n >= 6 && packet[1] == kEvCommandComplete && (packet[4] | packet[5] << 8) == kOpReset)
      resetDone();
    return;
  }
  ++(type == H4_EVENT ? fromEvt_ : type == H4_ACL ? fromAcl_ : fromSco_);
  attached_->host().deliver(channelOf(type), Bytes(packet + 1, packet + n));
}

void RealController::deferLoss(const std::string& why) {
  // Called from inside a host's call: the host hears of the loss from the event loop.
  if (!pendingLoss_.empty()) return;
  pendingLoss_ = why;
  timers_.add(std::chrono::milliseconds(0), this, [this] { lose(pendingLoss_); });
}

void RealController::closeFd() {
  if (!fd_.valid()) return;
  fd_.reset();
  logVerbose("controller " + name() + " closed");
  rxLen_ = rxOff_ = 0;
  stream_.reset();
  lostWrites_ += out_.size() + heldOut_.size();
  out_.clear();
  heldOut_.clear();
  outOff_ = outBytes_ = heldBytes_ = 0;
  awaitingReset_ = false;
  timers_.cancel(&awaitingReset_);
  pendingLoss_.clear();
}

void RealController::lose(const std::string& why) {
  if (!fd_.valid()) return;
  logLine("controller " + name() + " lost (" + why + "); reopening");
  ++losses_;
  closeFd();
  timers_.cancel(this);
  Attached* a = attached_;
  attached_ = nullptr;
  if (a) a->host().controllerLost();
  if (holder_ && onLost) onLost(holder_);
  // A controller that answered gets its first retry soon; one that goes as soon as it
  // comes (a server that accepts and closes) is retried ever more slowly.
  backoffMs_ = answered_ ? kFirstBackoffMs : std::min(std::max(backoffMs_ * 2, kFirstBackoffMs), kMaxBackoffMs);
  answered_ = false;
  lastReopenError_.clear();
  timers_.add(std::chrono::milliseconds(backoffMs_), this, [this] { reopen(); });
}

void RealController::reopen() {
  ++reopenAttempts_;
  TransportFd t = opener_(transport_);
  if (!t.fd.valid()) {
    if (t.error != lastReopenError_) logLine("controller " + name() + " not back: " + t.error + "; retrying");
    lastReopenError_ = t.error;
    backoffMs_ = std::min(backoffMs_ * 2, kMaxBackoffMs);
    timers_.add(std::chrono::milliseconds(backoffMs_), this, [this] { reopen(); });
    return;
  }
  fd_ = std::move(t.fd);
  packets_ = t.packets;
  ++reopens_;
  logLine("controller " + name() + " is back");
}

std::string RealController::counts() const {
  auto n = [](uint64_t v) { return std::to_string(v); };
  std::string s = "controller " + name() + ": sent " + n(toCmd_) + " commands, " + n(toAcl_) + " ACL, " + n(toSco_) +
                  " SCO; received " + n(fromEvt_) + " events, " + n(fromAcl_) + " ACL, " + n(fromSco_) + " SCO";
  if (fromIso_) s += ", " + n(fromIso_) + " ISO dropped";
  if (stream_.skippedBytes())
    s += "; " + n(stream_.skippedBytes()) + " bytes skipped in " + n(stream_.resyncs()) + " resyncs";
  if (noHost_) s += "; " + n(noHost_) + " packets dropped with no host";
  if (beforeReset_) s += "; " + n(beforeReset_) + " packets taken up to a reset's Command Complete";
  if (lostWrites_) s += "; " + n(lostWrites_) + " packets for it lost with the transport";
  if (reopens_) s += "; reopened " + n(reopens_) + " times";
  return s;
}

}  // namespace ftmd
