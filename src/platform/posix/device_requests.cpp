// Requests and their completion: a request goes out on its lane or the connection, and
// the reply that names it (read by its waiter or by the receiver) finishes it.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/device_object.h"
#include "wire/devchan.h"

namespace tarnexio_posix {
namespace {

std::mutex g_overlappedMutex;

}  // namespace

void WriteOverlapped(OVERLAPPED* ov, ULONG_PTR status, ULONG_PTR bytes) {
  std::lock_guard<std::mutex> lock(g_overlappedMutex);
  ov->Internal = status;
  ov->InternalHigh = bytes;
}

void ReadOverlapped(const OVERLAPPED* ov, ULONG_PTR* status, ULONG_PTR* bytes) {
  std::lock_guard<std::mutex> lock(g_overlappedMutex);
  *status = ov->Internal;
  *bytes = ov->InternalHigh;
}

BOOL ReportResult(ULONG_PTR status, ULONG_PTR bytes, LPDWORD bytesTransferred) {
  if (bytesTransferred != nullptr) *bytesTransferred = DWORD(bytes);
  if (status == 0) return TRUE;
  SetLastError(DWORD(status));
  return FALSE;
}

bool DeviceObject::Send(const Lane* lane, const std::vector<uint8_t>& datagram) {
  if (lane != nullptr) return SendWhole(lane->fd, datagram);
  std::lock_guard<std::mutex> lock(fdMutex_);
  return fd_ >= 0 && SendWhole(fd_, datagram);
}

void DeviceObject::CompleteLocked(const std::shared_ptr<Request>& request, DWORD status, const uint8_t* data,
                                  size_t size) {
  // The caller may pass the map's own pointer, which the erase below destroys.
  const std::shared_ptr<Request> r = request;
  size_t n = 0;
  if (r->out != nullptr && data != nullptr) {
    n = size < r->outSize ? size : r->outSize;  // a longer reply is cut to the caller's buffer
    if (n > 0) std::memcpy(r->out, data, n);
  }
  r->status = status;
  r->bytes = DWORD(n);
  if (r->ov != nullptr) {
    WriteOverlapped(r->ov, status, n);
    // A request that fails at once returns its error from DeviceIoControl alone.
    if (r->wentPending || status == 0) SignalEventObject(r->event);
  }
  r->done = true;
  if (r->lane) --r->lane->outstanding;
  outstanding_.erase(r->id);
}

void DeviceObject::FailAllLocked(DWORD status) {
  while (!outstanding_.empty()) {
    std::shared_ptr<Request> r = outstanding_.begin()->second;
    CompleteLocked(r, status, nullptr, 0);
    r->replied.notify_all();
  }
}

void DeviceObject::DisconnectLocked() {
  if (state_ != STATE_OPEN) return;
  state_ = STATE_DISCONNECTED;
  FailAllLocked(ERROR_DEVICE_NOT_CONNECTED);
  ShutdownLanesLocked();
}

std::shared_ptr<Request> DeviceObject::FindByOverlappedLocked(const OVERLAPPED* ov) {
  for (auto& entry : outstanding_) {
    if (entry.second->ov == ov) return entry.second;
  }
  return nullptr;
}

void DeviceObject::HandleDatagram(const uint8_t* data, size_t size) {
  wire::DevchanReply reply;
  if (!wire::ParseDevchanReply(data, size, &reply)) return;
  if (reply.kind == wire::kMsgOffer) {
    std::lock_guard<std::mutex> lock(mutex_);
    laneToken_ = reply.token;
    return;
  }
  std::shared_ptr<Request> r;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = outstanding_.find(reply.id);
    if (it == outstanding_.end()) return;
    r = it->second;
    if (reply.kind == wire::kMsgComplete) {
      CompleteLocked(r, reply.status, reply.payload, reply.payloadSize);
    } else if (reply.kind == wire::kMsgPending && !r->wentPending) {
      r->wentPending = true;
    } else {
      return;  // a second PENDING for the same request, or an ATTACHED out of place
    }
  }
  // Woken after the mutex is free, the waiter does not run only to block on it again.
  r->replied.notify_all();
}

void DeviceObject::Receive() {
  const int fd = fd_;  // only this thread ever changes fd_
  std::vector<uint8_t> buffer;
  struct epoll_event events[8];
  for (bool open = true; open;) {
    const int count = epoll_wait(epollFd_, events, 8, -1);
    if (count < 0 && errno != EINTR) break;
    for (int i = 0; i < count && open; ++i) {
      if (events[i].data.ptr != nullptr) {
        ReadAside(*static_cast<Lane*>(events[i].data.ptr), buffer);
        continue;
      }
      const ssize_t n = ReceiveOne(fd, buffer, Room(), MSG_DONTWAIT);
      if (n >= 0) HandleDatagram(buffer.data(), size_t(n));
      open = n != kReceiveEnd;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    DisconnectLocked();
  }
  std::lock_guard<std::mutex> lock(fdMutex_);
  close(fd_);
  fd_ = -1;
}

BOOL DeviceObject::Ioctl(DWORD code, const uint8_t* in, DWORD inSize, uint8_t* out, DWORD outSize,
                         LPDWORD bytesReturned, OVERLAPPED* ov) {
  auto r = std::make_shared<Request>();
  r->out = out;
  r->outSize = out != nullptr ? outSize : 0;
  r->ov = ov;
  if (ov != nullptr) r->event = FindHandle(ov->hEvent);
  // Every reader's buffer has room for this reply before the request goes out.
  const size_t room = 16 + size_t(r->outSize);
  for (size_t seen = Room(); seen < room && !largestReply_.compare_exchange_weak(seen, room);) {
  }

  std::shared_ptr<Lane> lane = LaneOfThisThread();
  // Taken before the request goes out, so that its replies find this thread reading.
  if (lane) TakeLane(*lane);
  std::unique_lock<std::mutex> lock(mutex_);
  if (state_ != STATE_OPEN) {
    const DWORD error = state_ == STATE_CLOSED ? ERROR_INVALID_HANDLE : ERROR_DEVICE_NOT_CONNECTED;
    lock.unlock();
    if (lane) LeaveLane(*lane);
    SetLastError(error);
    return FALSE;
  }
  do {
    r->id = nextId_++;
  } while (r->id == 0 || outstanding_.count(r->id) != 0);
  if (ov != nullptr) {
    WriteOverlapped(ov, STATUS_PENDING, 0);
    ResetEventObject(r->event);
  }
  r->lane = lane;
  if (lane) ++lane->outstanding;
  outstanding_[r->id] = r;
  lock.unlock();

  bool sent = Send(lane.get(), wire::BuildDevchanIoctl(r->id, code, r->outSize, in, in != nullptr ? inSize : 0));

  lock.lock();
  if (!sent) DisconnectLocked();
  if (lane) ReadOwnLane(lock, *lane, *r, false);
  r->replied.wait(lock, [&] { return r->wentPending || r->done; });
  if (r->wentPending) {
    if (ov == nullptr) r->out = nullptr;  // nothing may be written after this call returns
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  return ReportResult(r->status, r->status == 0 ? r->bytes : 0, bytesReturned);
}

BOOL DeviceObject::Cancel(OVERLAPPED* ov) {
  uint32_t id = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != STATE_OPEN) {
      SetLastError(state_ == STATE_CLOSED ? ERROR_INVALID_HANDLE : ERROR_NOT_FOUND);
      return FALSE;
    }
    if (ov != nullptr) {
      auto r = FindByOverlappedLocked(ov);
      if (!r) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
      }
      id = r->id;
    }
  }
  // If the send fails the connection is gone and the receiver fails the requests.
  Send(nullptr, wire::BuildDevchanCancel(id));
  return TRUE;
}

BOOL DeviceObject::Result(OVERLAPPED* ov, LPDWORD bytesTransferred, BOOL wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto r = FindByOverlappedLocked(ov);
  if (!r) {
    ULONG_PTR status;
    ULONG_PTR bytes;
    ReadOverlapped(ov, &status, &bytes);
    if (status == STATUS_PENDING) {  // not a request of this device
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    return ReportResult(status, bytes, bytesTransferred);
  }
  if (!wait) {
    SetLastError(ERROR_IO_INCOMPLETE);
    return FALSE;
  }
  auto own = lanes_.find(std::this_thread::get_id());
  // A request of this thread's own lane: this thread reads it.
  if (!r->done && r->lane && own != lanes_.end() && own->second == r->lane) ReadOwnLane(lock, *r->lane, *r, true);
  r->replied.wait(lock, [&] { return r->done; });
  return ReportResult(r->status, r->bytes, bytesTransferred);
}

// Requests still pending end with 995 before the handle leaves the table: a thread that
// asks for a request's result while the handle is being closed gets that status, as it
// would from the system, and never "invalid handle" for a request that was under way.
void DeviceObject::OnClosing() {
  std::lock_guard<std::mutex> lock(mutex_);
  FailAllLocked(ERROR_OPERATION_ABORTED);
}

void DeviceObject::OnClose() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    FailAllLocked(ERROR_OPERATION_ABORTED);
    state_ = STATE_CLOSED;
    ShutdownLanesLocked();
  }
  std::lock_guard<std::mutex> lock(fdMutex_);
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);  // wakes the receiver, which closes the socket
}

}  // namespace tarnexio_posix
