// Lanes: a connection of its own for each thread that issues requests, attached to the
// device with the token the server offered, and read by the thread that waits on it.
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

void DeviceObject::Watch(Lane& lane, bool on) {
  if (lane.watched == on) return;
  struct epoll_event event = {};
  event.events = EPOLLIN | EPOLLRDHUP;
  event.data.ptr = &lane;
  if (epoll_ctl(epollFd_, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, lane.fd, &event) == 0) lane.watched = on;
}

void DeviceObject::ReleasedLocked(Lane& lane) {
  if (lane.blocked == 0) return;
  ++lane.releases;
  for (auto& entry : outstanding_) {
    if (entry.second->lane.get() == &lane) entry.second->changed.notify_all();
  }
}

void DeviceObject::ReadAside(Lane& lane, std::vector<uint8_t>& buffer) {
  std::unique_lock<std::mutex> reading(lane.reading, std::try_to_lock);
  if (!reading.owns_lock()) {
    // Its owner has just started to read it and takes the lane out of the set.
    std::this_thread::yield();
    return;
  }
  const ssize_t n = ReceiveOne(lane.fd, buffer, Room(), MSG_DONTWAIT);
  if (n >= 0) {
    HandleDatagram(buffer.data(), size_t(n));
  } else if (n == kReceiveEnd) {
    Watch(lane, false);
  }
  reading.unlock();
  std::lock_guard<std::mutex> lock(mutex_);
  if (n == kReceiveEnd) DisconnectLocked();
  ReleasedLocked(lane);
}

DeviceObject::LaneReader::LaneReader(DeviceObject* device, std::shared_ptr<Lane> lane)
    : device_(device), lane_(std::move(lane)), reading_(lane_->reading, std::try_to_lock) {
  if (reading_.owns_lock()) device_->Watch(*lane_, false);
}

DeviceObject::LaneReader::~LaneReader() {
  if (!reading_.owns_lock()) return;
  std::unique_lock<std::mutex> lock(device_->mutex_);
  // Replies that are already there are taken now rather than by the receiver, which
  // would have to wake for them.
  while (lane_->outstanding > 0) {
    lock.unlock();
    const ssize_t n = ReceiveOne(lane_->fd, lane_->buffer, device_->Room(), MSG_DONTWAIT);
    if (n >= 0) device_->HandleDatagram(lane_->buffer.data(), size_t(n));
    lock.lock();
    if (n < 0) break;
  }
  if (lane_->outstanding > 0) device_->Watch(*lane_, true);
  reading_.unlock();
  device_->ReleasedLocked(*lane_);
}

// Reads the lane until the request has its first reply (or is done, with finalOnly).
void DeviceObject::LaneReader::Until(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Request>& r,
                                     bool finalOnly) {
  auto ready = [&] { return r->done || (!finalOnly && r->wentPending); };
  while (!ready()) {
    if (!reading_.owns_lock()) {
      if (reading_.try_lock()) {
        device_->Watch(*lane_, false);
        continue;
      }
      // Whoever reads the lane now hands this reply over or gives the lane up.
      const unsigned seen = lane_->releases;
      ++lane_->blocked;
      r->changed.wait(lock, [&] { return ready() || lane_->releases != seen; });
      --lane_->blocked;
      continue;
    }
    lock.unlock();
    const ssize_t n = ReceiveOne(lane_->fd, lane_->buffer, device_->Room(), 0);
    if (n >= 0) device_->HandleDatagram(lane_->buffer.data(), size_t(n));
    lock.lock();
    if (n == kReceiveEnd) {
      device_->DisconnectLocked();
      r->changed.wait(lock, ready);  // a closed device has failed every request already
    }
  }
}

std::shared_ptr<Lane> DeviceObject::LaneOfThisThread() {
  const std::thread::id self = std::this_thread::get_id();
  wire::LaneToken token;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    token = laneToken_;
    if (!token.Valid()) return nullptr;
    auto it = lanes_.find(self);
    if (it != lanes_.end()) return it->second;
    if (state_ != STATE_OPEN) return nullptr;
  }
  std::shared_ptr<Lane> lane = OpenLane(token);
  std::lock_guard<std::mutex> lock(mutex_);
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
