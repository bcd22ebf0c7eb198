#include "driver_model.h"

#include <algorithm>

#include "log.h"

namespace ftmd {

namespace {
const char* channelName(Channel ch) {
  switch (ch) {
    case Channel::Event: return "event";
    case Channel::Acl: return "ACL";
    case Channel::Sco: return "SCO";
  }
  return "?";
}
}  // namespace

DriverModel::DriverModel(const DriverConfig& cfg, TimerQueue& timers, Send send, std::string tag)
    : cfg_(cfg), timers_(timers), send_(std::move(send)), tag_(std::move(tag)) {}

DriverModel::~DriverModel() {
  held_.clear();  // the connection is gone: nothing to complete
  timers_.cancel(this);
  stopController();
}

void DriverModel::handle(const Request& r) {
  // A type 2 device has no FTM mode request: its controller runs from the connection's
  // first request, the moment the server has let it have the controller (a connection
  // refused before it must not take a shared controller's traffic).
  if (cfg_.type == 2 && !controller_) startController();
  if (r.kind == kMsgCancel) {
    logVerbose(tag_ + ": CANCEL id " + std::to_string(r.id));
    cancel(r.id);
    return;
  }
  // The line of each message is built only when it is printed: building it costs several
  // allocations a message.
  if (verbose()) {
    logVerbose(tag_ + ": IOCTL id " + std::to_string(r.id) + " " + codeName(r.code) + " in " +
               std::to_string(r.inLen) + " out " + std::to_string(r.outSize));
  }
  if (pendingIds_.count(r.id)) {
    logOnce("an IOCTL that reuses the id of a pending request is dropped");
    return;
  }
  ioctl(r);
}

void DriverModel::ioctl(const Request& r) {
  const bool type1 = cfg_.type == 1;
  const uint8_t* in = r.in;
  const size_t n = r.inLen;
  switch (r.code) {
    case IOCTL_BTFTM_READ_EVENT: {
      const bool ok = r.outSize == kEventReadSize &&
                      (type1 ? n == 0 : (n == 4 && Le32(in) == kType2EventInput));
      if (!ok) return complete(r.id, kStatusInvalidParameter);
      return queueRead(r, Channel::Event);
    }
    case IOCTL_BTFTM_SEND_HCI_CMD: {
      const bool ok = n >= 3 && n == 3u + in[2] && r.outSize == (type1 ? 0 : kType2CmdOutSize);
      if (!ok) return complete(r.id, kStatusInvalidParameter);
      return write(r, Channel::Event);
    }
    case IOCTL_BTFTM_ENABLE_FTM:
      return enableFtm(r);
    case IOCTL_BTFTM_SEND_ACL: {
      const bool ok = n >= 4 && n == 4u + Le16(in + 2) && Le16(in + 2) <= kAclMaxData && r.outSize == 0;
      if (!ok) return complete(r.id, kStatusInvalidParameter);
      return write(r, Channel::Acl);
    }
    case IOCTL_BTFTM_SEND_SCO: {
      const bool ok = n >= 3 && n == 3u + in[2] && r.outSize == 0;
      if (!ok) return complete(r.id, kStatusInvalidParameter);
      return write(r, Channel::Sco);
    }
    case IOCTL_BTFTM_READ_ACL:
      // The bridge reads no ACL data from a type 2 device; that device has no such read.
      if (!type1) return complete(r.id, kStatusInvalidFunction);
      if (n != 0 || r.outSize != kAclReadSize) return complete(r.id, kStatusInvalidParameter);
      return queueRead(r, Channel::Acl);
    case IOCTL_BTFTM_READ_SCO:
      if (!type1) return complete(r.id, kStatusInvalidFunction);
      // With no interface selected the read waits for a selection, whatever its size.
      if (n != 0 || (scoInterface_ != 0 && r.outSize != kScoReadUnits * kScoSlotUnit[scoInterface_]))
        return complete(r.id, kStatusInvalidParameter);
      return queueRead(r, Channel::Sco);
    case IOCTL_BTFTM_SELECT_SCO_INF:
      if (n != 1 || r.outSize != 0 || in[0] > kMaxScoInterface) return complete(r.id, kStatusInvalidParameter);
      complete(r.id, kStatusOk);
      return selectSco(in[0]);
    default:
      return complete(r.id, kStatusInvalidFunction);
  }
}

void DriverModel::complete(uint32_t id, uint32_t status, const uint8_t* out, size_t n) {
  if (verbose()) {
    logVerbose(tag_ + ": COMPLETE id " + std::to_string(id) + " status " + std::to_string(status) + ", " +
               std::to_string(n) + " bytes");
  }
  pendingIds_.erase(id);
  send_(BuildDevchanComplete(id, status, out, n));
}

void DriverModel::pending(uint32_t id) {
  if (verbose()) logVerbose(tag_ + ": PENDING id " + std::to_string(id));
  pendingIds_.insert(id);
  send_(BuildDevchanPending(id));
}

void DriverModel::enableFtm(const Request& r) {
  // A type 2 device runs its controller from the start and has no FTM mode request.
  if (cfg_.type != 1) return complete(r.id, kStatusInvalidFunction);
  if (r.inLen != 0 || r.outSize != 0) return complete(r.id, kStatusInvalidParameter);
  if (cfg_.btOn) return complete(r.id, kStatusBadCommand);
  if (ftmId_ != 0) return complete(r.id, kStatusBusy);
  startController();
  // A real controller whose transport is down: the device is not there.
  if (!controller_) return complete(r.id, kStatusDeviceNotConnected);
  pending(r.id);
  ftmId_ = r.id;
  logVerbose(tag_ + ": FTM mode on");
  if (cfg_.ftmSeconds)
    timers_.add(std::chrono::seconds(cfg_.ftmSeconds), this, [this] { endFtmMode(); });
}

void DriverModel::endFtmMode() { leaveFtmMode(kStatusOk); }

void DriverModel::leaveFtmMode(uint32_t status) {
  if (ftmId_ == 0) return;
  const uint32_t id = ftmId_;
  ftmId_ = 0;
  timers_.cancel(this);
  stopController();
  logVerbose(tag_ + ": FTM mode off");
  complete(id, status);
}

template <class Entries>
void DriverModel::completeNamed(Entries& entries, uint32_t id, uint32_t status) {
  for (auto it = entries.begin(); it != entries.end();) {
    if (id != 0 && it->id != id) {
      ++it;
      continue;
    }
    const uint32_t done = it->id;
    it = entries.erase(it);
    complete(done, status);
  }
}

void DriverModel::cancel(uint32_t id) {
  // The held writes named go first: the end of FTM mode below would fail them as
  // writes the controller was off for.
  completeNamed(held_, id, kStatusAborted);
  // Cancelling the enable-FTM request ends FTM mode.
  if (ftmId_ != 0 && (id == 0 || id == ftmId_)) leaveFtmMode(kStatusAborted);
  for (auto& reads : reads_) completeNamed(reads, id, kStatusAborted);
}

void DriverModel::write(const Request& r, Channel ch) {
  // A type 1 controller takes packets only in FTM mode.
  if (!trafficFlows()) return complete(r.id, kStatusNotReady);
  const bool mustWait = !held_.empty() || !canTakeWrite(ch);
  if (mustWait && held_.size() >= cfg_.pendingLimit) {
    logOnce("a client keeps too many writes waiting for the controller; the extra ones fail");
    return complete(r.id, kStatusNoResources);
  }
  // As a kernel driver does, a write completes once the controller has taken the packet;
  // while the controller's output waits for reads, writes wait too, in their order, so
  // a fast writer is slowed down instead of losing what the controller sends back. One
  // taken at once completes in the first reply.
  if (mustWait) {
    pending(r.id);
    held_.push_back(HeldWrite{r.id, ch, Bytes(r.in, r.in + r.inLen)});
    return;
  }
  if (cfg_.pendAlways) pending(r.id);
  takeWrite(r.id, ch, r.in, r.inLen);
}

bool DriverModel::canTakeWrite(Channel ch) const {
  // Half of the event queue and, for ACL data, of the ACL queue is kept free for what a
  // packet taken now may bring back (its echo, events that follow it); a type 2 device
  // discards its ACL data, so its ACL queue stays empty.
  // SCO data never waits for room: it is not flow controlled, and its reads stop
  // whenever no SCO interface is selected, so the controller drops what no one reads.
  if (ch == Channel::Sco) return true;
  const size_t limit = cfg_.queueLimit / 2;
  return queue_[int(Channel::Event)].size() < limit && queue_[int(ch)].size() < limit;
}

void DriverModel::takeWrite(uint32_t id, Channel ch, const uint8_t* p, size_t n) {
  tapPacket(cfg_.capture, counts_, BTSNOOP_TO_CONTROLLER, h4Type(ch, BTSNOOP_TO_CONTROLLER), p, n);
  ++inController_;
  if (ch == Channel::Event)
    controller_->command(p, n);
  else if (ch == Channel::Acl)
    controller_->acl(p, n);
  else
    controller_->sco(p, n);
  --inController_;
  complete(id, kStatusOk);
  resumeController();
}

void DriverModel::takeHeldWrites() {
  // The controller is never called from inside itself. A call into it only adds to the
  // queues (what it delivers to a waiting read found the queue empty), so no room is
  // made meanwhile: the loop below, or the serve() that made room, takes what it can.
  if (inController_) return;
  while (!held_.empty() && controller_ && canTakeWrite(held_.front().ch)) {
    HeldWrite w = std::move(held_.front());
    held_.pop_front();
    takeWrite(w.id, w.ch, w.packet.data(), w.packet.size());
  }
}

void DriverModel::queueRead(const Request& r, Channel ch) {
  auto& reads = reads_[int(ch)];
  if (reads.size() >= cfg_.pendingLimit) {
    logOnce("a client keeps too many reads of one kind pending; the extra ones fail");
    return complete(r.id, kStatusNoResources);
  }
  // A read that finds its data queued completes in the first reply; one that has to
  // wait answers PENDING (with --pend-always every read does, first).
  if (cfg_.pendAlways) pending(r.id);
  reads.push_back(Read{r.id, r.outSize});
  serve(ch);
  if (cfg_.pendAlways) return;
  for (const Read& waiting : reads) {
    if (waiting.id == r.id) return pending(r.id);
  }
}

void DriverModel::selectSco(uint8_t id) {
  scoInterface_ = id;
  serve(Channel::Sco);
}

bool DriverModel::hasRoom(Channel ch) const {
  if (cfg_.type != 1 && ch != Channel::Event) return true;  // discarded anyway
  return queue_[int(ch)].size() < cfg_.queueLimit;
}

void DriverModel::deliver(Channel ch, Bytes packet) {
  if (cfg_.type != 1 && ch != Channel::Event) {
    logOnce("a type 2 device has no ACL or SCO reads: the controller's ACL and SCO data are discarded");
    countDroppedPacket();
    return;
  }
  if (ch == Channel::Acl && packet.size() > kAclReadSize) {
    logOnce("an ACL packet longer than an ACL read is dropped");
    countDroppedPacket();
    return;
  }
  auto& q = queue_[int(ch)];
  if (q.size() >= cfg_.queueLimit) {
    logOnce(std::string("a client does not read ") + channelName(ch) + " data: its queue is full, packets are dropped");
    countDroppedPacket();
    return;
  }
  q.push_back(std::move(packet));
  serve(ch);
}

void DriverModel::after(std::chrono::milliseconds delay, std::function<void()> fn) {
  timers_.add(delay, controller_.get(), [this, fn = std::move(fn)] {
    ++inController_;
    fn();
    --inController_;
    resumeController();
  });
}

void DriverModel::controllerLost() {
  // Everything waiting on the controller fails as it does when a device goes away, so
  // the client stops; what the controller produced and was not read yet goes with it.
  logVerbose(tag_ + ": controller lost");
  completeNamed(held_, 0, kStatusDeviceNotConnected);
  const uint32_t ftm = ftmId_;
  ftmId_ = 0;
  timers_.cancel(this);
  stopController();
  if (ftm != 0) complete(ftm, kStatusDeviceNotConnected);
  for (auto& reads : reads_) completeNamed(reads, 0, kStatusDeviceNotConnected);
  for (auto& q : queue_) q.clear();
}

void DriverModel::serve(Channel ch) {
  auto& reads = reads_[int(ch)];
  auto& q = queue_[int(ch)];
  while (!reads.empty() && !q.empty()) {
    if (ch == Channel::Sco) {
      if (scoInterface_ == 0 || !serveSco(reads.front())) break;
      reads.pop_front();
      continue;
    }
    const Read rd = reads.front();
    reads.pop_front();
    Bytes pkt = std::move(q.front());
    q.pop_front();
    tapPacket(cfg_.capture, counts_, BTSNOOP_FROM_CONTROLLER, h4Type(ch, BTSNOOP_FROM_CONTROLLER), pkt.data(),
              pkt.size());
    if (ch == Channel::Event && cfg_.type != 1) {
      // Type 2 reply: packet type 04, event length (LE16), event sequence number (LE16).
      ++eventSeq_;
      Bytes reply{0x04};
      PutLe16(reply, uint16_t(pkt.size()));
      PutLe16(reply, eventSeq_);
      reply.insert(reply.end(), pkt.begin(), pkt.end());
      pkt.swap(reply);
    }
    complete(rd.id, kStatusOk, pkt.data(), std::min<size_t>(pkt.size(), rd.outSize));
  }
  resumeController();
  takeHeldWrites();
}

bool DriverModel::serveSco(const Read& rd) {
  const uint32_t unit = kScoSlotUnit[scoInterface_];
  const uint32_t size = kScoReadUnits * unit;
  if (rd.outSize < size) {
    // The interface changed while the read waited; its buffer no longer fits a reply.
    complete(rd.id, kStatusInvalidParameter);
    return true;
  }
  auto& q = queue_[int(Channel::Sco)];
  Bytes reply(size, 0);
  int slot = 0;
  while (slot < kScoSlotsPerRead && !q.empty()) {
    const Bytes& pkt = q.front();
    if (pkt.size() <= kScoUnitsPerSlot * unit) {
      std::copy(pkt.begin(), pkt.end(), reply.begin() + slot * kScoUnitsPerSlot * unit);
      tapPacket(cfg_.capture, counts_, BTSNOOP_FROM_CONTROLLER, h4Type(Channel::Sco, BTSNOOP_FROM_CONTROLLER), pkt.data(),
                pkt.size());
      ++slot;
    } else {
      logOnce("an SCO packet larger than a slot of the selected interface is dropped");
      countDroppedPacket();
    }
    q.pop_front();
  }
  if (slot == 0) return false;
  complete(rd.id, kStatusOk, reply.data(), reply.size());
  return true;
}

void DriverModel::startController() {
  if (!controller_) controller_ = makeController(cfg_.controller, *this);
}

void DriverModel::stopController() {
  if (!controller_) return;
  completeNamed(held_, 0, kStatusNotReady);  // the writes never reached the controller
  const std::string summary = controller_->summary();
  if (!summary.empty()) logVerbose(tag_ + ": controller " + summary);
  timers_.cancel(controller_.get());
  controller_.reset();
}

void DriverModel::resumeController() {
  if (inController_ || !controller_) return;
  ++inController_;
  controller_->resume();
  --inController_;
}

}  // namespace ftmd
