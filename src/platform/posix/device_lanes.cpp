// Lanes: a connection of its own for each thread that issues requests, attached to the
// device with the token the server offered, and read by that thread while it waits in the
// layer, by the receiver while it does not.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/posix/device_object.h"
#include "wire/devchan.h"

namespace tarnexio_posix {

void DeviceObject::ShutdownLanesLocked() {
  // Wakes the threads that read their lanes; the sockets stay open until the object goes.
  for (auto& entry : lanes_) {
    if (entry.second) shutdown(entry.second->fd, SHUT_RDWR);
  }
}

bool DeviceObject::LaneBusyLocked(const Lane& lane) const {
  // A handful of requests at most: the bridge's readers, writes and FTM mode.
  for (const auto& entry : outstanding_) {
    if (Locked(*entry.second).lane.get() == &lane) return true;
  }
  return false;
}

void DeviceObject::WatchLocked(Lane& lane, bool on) {
  if (lane.watched == on) return;
  struct epoll_event event = {};
  event.events = EPOLLIN | EPOLLRDHUP;
  event.data.ptr = &lane;
  if (epoll_ctl(epollFd_, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, lane.fd, &event) == 0) lane.watched = on;
}

void DeviceObject::TakeLane(Lane& lane) {
  // Waits at most for one read of the receiver's that does not wait.
  MutexLock reading(&lane.reading);
  lane.ownerReads = true;
  WatchLocked(lane, false);
}

void DeviceObject::LeaveLane(Lane& lane) {
  MutexLock reading(&lane.reading);
  lane.ownerReads = false;
  MutexLock lock(&mutex_);
  if (LaneBusyLocked(lane)) WatchLocked(lane, true);
}

void DeviceObject::ReadAside(Lane& lane, std::vector<uint8_t>& buffer) {
  MutexLock reading(&lane.reading);
  // Taken by its thread since the receiver was woken: that thread reads what is there.
  if (lane.ownerReads) return;
  const ssize_t n = ReceiveOne(lane.fd, buffer, Room(), MSG_DONTWAIT);
  if (n >= 0) HandleDatagram(buffer.data(), size_t(n));
  if (n != kReceiveEnd) return;
  WatchLocked(lane, false);
  MutexLock lock(&mutex_);
  DisconnectLocked();
}

void DeviceObject::ReadOwnLaneLocked(Lane& lane, const Request& r, bool finalOnly) {
  mutex_.unlock();
  TakeLane(lane);
  mutex_.lock();
  while (!(Locked(r).done || (!finalOnly && Locked(r).wentPending))) {
    mutex_.unlock();
    // Nobody else reads the lane now, and only this thread's requests, which made room
    // for their replies before they went out, are answered there.
    const ssize_t n = ReceiveOne(lane.fd, lane.buffer, Room(), 0);
    if (n >= 0) HandleDatagram(lane.buffer.data(), size_t(n));
    mutex_.lock();
    if (n == kReceiveEnd) DisconnectLocked();  // which fails every request, this one too
  }
  // Replies that are already there are taken now rather than by the receiver, which
  // would have to wake for them.
  while (LaneBusyLocked(lane)) {
    mutex_.unlock();
    const ssize_t n = ReceiveOne(lane.fd, lane.buffer, Room(), MSG_DONTWAIT);
    if (n >= 0) HandleDatagram(lane.buffer.data(), size_t(n));
    mutex_.lock();
    if (n < 0) break;
  }
  mutex_.unlock();
  LeaveLane(lane);
  mutex_.lock();
}

std::shared_ptr<Lane> DeviceObject::LaneOfThisThread() {
  const std::thread::id self = std::this_thread::get_id();
  wire::LaneToken token;
  {
    MutexLock lock(&mutex_);
    token = laneToken_;
    if (!token.Valid()) return nullptr;
    auto it = lanes_.find(self);
    if (it != lanes_.end()) return it->second;
    if (state_ != STATE_OPEN) return nullptr;
  }
  std::shared_ptr<Lane> lane = OpenLane(token);
  MutexLock lock(&mutex_);
  // Without a lane (the attach failed) the thread keeps using the connection.
  lanes_[self] = lane;
  if (lane && state_ != STATE_OPEN) shutdown(lane->fd, SHUT_RDWR);
  return lane;
}

std::shared_ptr<Lane> DeviceObject::OpenLane(const wire::LaneToken& token) {
  const int fd = ConnectDevice(path_);
  if (fd < 0) return nullptr;
  // A server that offered lanes answers an attach at once; one that does not within two
  // seconds is not waited for again, and the thread keeps using the connection.
  struct timeval limit = {2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::vector<uint8_t> answer;
  wire::DevchanReply reply;
  ssize_t n = SendWhole(fd, wire::BuildDevchanAttach(token)) ? ReceiveOne(fd, answer, 64, 0) : kReceiveEnd;
  // The server offers lanes on every new connection before it knows what it is for.
  if (n >= 0 && ParseDevchanReply(answer.data(), size_t(n), &reply) && reply.kind == wire::kMsgOffer) {
    n = ReceiveOne(fd, answer, 64, 0);
  }
  if (n < 0 || !wire::ParseDevchanReply(answer.data(), size_t(n), &reply) || reply.kind != wire::kMsgAttached) {
    close(fd);
    return nullptr;
  }
  limit.tv_sec = 0;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return std::make_shared<Lane>(fd);
}

}  // namespace tarnexio_posix
