// Lanes: a connection of its own for each thread that issues requests, attached to the
// device with the token the server offered, and read by a thread of its own.
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/posix/device_object.h"
#include "wire/devchan.h"

namespace tarnexio_posix {

void DeviceObject::ShutdownLanesLocked() {
  // Ends the lanes' readers; the sockets stay open until their last user has gone.
  for (auto& entry : lanes_) {
    if (entry.second) shutdown(entry.second->fd, SHUT_RDWR);
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
  // Closed or gone while the lane was attached: its reader ends at once.
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
  auto lane = std::make_shared<Lane>(fd);
  // The reader keeps the device and the lane for as long as it reads.
  std::shared_ptr<DeviceObject> device = shared_from_this();
  if (!StartLayerThread([device, lane] { device->ReadReplies(lane->fd); })) return nullptr;
  return lane;
}

}  // namespace tarnexio_posix
