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

Mutex g_overlappedMutex;

void WriteOverlapped(OVERLAPPED* ov, ULONG_PTR status, ULONG_PTR bytes) {
  MutexLock lock(&g_overlappedMutex);
  ov->Internal = status;
  ov->InternalHigh = bytes;
}

void ReadOverlapped(const OVERLAPPED* ov, ULONG_PTR* status, ULONG_PTR* bytes) {
  MutexLock lock(&g_overlappedMutex);
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
  MutexLock lock(&fdMutex_);
  return fd_ >= 0 && SendWhole(fd_, datagram);
}

void DeviceObject::CompleteLocked(const std::shared_ptr<Request>& request, DWORD status, const uint8_t* data,
                                  size_t size) {
  // The caller may pass the map's own pointer, which the erase below destroys.
  const std::shared_ptr<Request> r = request;
  Request::Progress& p = Locked(*r);
  size_t n = 0;
  if (p.out != nullptr && data != nullptr) {
    n = size < r->outSize ? size : r->outSize;  // a longer reply is cut to the caller's buffer
    if (n > 0) std::memcpy(p.out, data, n);
  }
  p.status = status;
  p.bytes = DWORD(n);
  if (r->ov != nullptr) {
    WriteOverlapped(r->ov, status, n);
    // A request that fails at once returns its error from DeviceIoControl alone.
    if (p.wentPending || status == 0) SignalEventObject(r->event);
  }
  p.done = true;
  outstanding_.erase(p.id);
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
    MutexLock lock(&mutex_);
    laneToken_ = reply.token;
    return;
  }
  std::shared_ptr<Request> r;
  {
    MutexLock lock(&mutex_);
    auto it = outstanding_.find(reply.id);
    if (it == outstanding_.end()) return;
    r = it->second;
    if (reply.kind == wire::kMsgComplete) {
      CompleteLocked(r, reply.status, reply.payload, reply.payloadSize);
    } else if (reply.kind == wire::kMsgPending && !Locked(*r).wentPending) {
      Locked(*r).wentPending = true;
    } else {
      return;  // a second PENDING for the same request, or an ATTACHED out of place
    }
  }
  // Woken after the mutex is free, the waiter does not run only to block on it again.
  r->replied.notify_all();
}

void DeviceObject::Receive() {
  int fd;
  {
    MutexLock lock(&fdMutex_);
    fd = fd_;  // only this thread changes it, at its end
  }
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
    MutexLock lock(&mutex_);
    DisconnectLocked();
  }
  MutexLock lock(&fdMutex_);
  close(fd_);
  fd_ = -1;
}

BOOL DeviceObject::Ioctl(DWORD code, const uint8_t* in, DWORD inSize, uint8_t* out, DWORD outSize,
                         LPDWORD bytesReturned, OVERLAPPED* ov) {
  auto r = std::make_shared<Request>(out, outSize, ov, ov != nullptr ? FindHandle(ov->hEvent) : nullptr);
  // Every reader's buffer has room for this reply before the request goes out.
  const size_t room = 16 + size_t(r->outSize);
  for (size_t seen = Room(); seen < room && !largestReply_.compare_exchange_weak(seen, room);) {
  }

  std::shared_ptr<Lane> lane = LaneOfThisThread();
  // Taken before the request goes out, so that its replies find this thread reading.
  if (lane) TakeLane(*lane);
  MutexLock lock(&mutex_);
  if (state_ != STATE_OPEN) {
    const DWORD error = state_ == STATE_CLOSED ? ERROR_INVALID_HANDLE : ERROR_DEVICE_NOT_CONNECTED;
    lock.Unlock();
    if (lane) LeaveLane(*lane);
    SetLastError(error);
    return FALSE;
  }
  Request::Progress& p = Locked(*r);
  do {
    p.id = nextId_++;
  } while (p.id == 0 || outstanding_.count(p.id) != 0);
  if (ov != nullptr) {
    WriteOverlapped(ov, STATUS_PENDING, 0);
    ResetEventObject(r->event);
  }
  p.lane = lane;
  outstanding_[p.id] = r;
  const uint32_t id = p.id;
  lock.Unlock();

  bool sent = Send(lane.get(), wire::BuildDevchanIoctl(id, code, r->outSize, in, in != nullptr ? inSize : 0));

  lock.Lock();
  if (!sent) DisconnectLocked();
  if (lane) ReadOwnLaneLocked(*lane, *r, false);
  while (!p.wentPending && !p.done) r->replied.wait(mutex_);
  if (p.wentPending) {
    if (ov == nullptr) p.out = nullptr;  // nothing may be written after this call returns
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  return ReportResult(p.status, p.status == 0 ? p.bytes : 0, bytesReturned);
}

BOOL DeviceObject::Cancel(OVERLAPPED* ov) {
  uint32_t id = 0;
  {
    MutexLock lock(&mutex_);
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
      id = Locked(*r).id;
    }
  }
  // If the send fails the connection is gone and the receiver fails the requests.
  Send(nullptr, wire::BuildDevchanCancel(id));
  return TRUE;
}

BOOL DeviceObject::Result(OVERLAPPED* ov, LPDWORD bytesTransferred, BOOL wait) {
  MutexLock lock(&mutex_);
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
  Request::Progress& p = Locked(*r);
  auto own = lanes_.find(std::this_thread::get_id());
  // A request of this thread's own lane: this thread reads it.
  if (!p.done && p.lane && own != lanes_.end() && own->second == p.lane) {
    const std::shared_ptr<Lane> lane = p.lane;
    ReadOwnLaneLocked(*lane, *r, true);
  }
  while (!p.done) r->replied.wait(mutex_);
  return ReportResult(p.status, p.bytes, bytesTransferred);
}

// Requests still pending end with 995 before the handle leaves the table: a thread that
// asks for a request's result while the handle is being closed gets that status, as it
// would from the system, and never "invalid handle" for a request that was under way.
void DeviceObject::OnClosing() {
  MutexLock lock(&mutex_);
  FailAllLocked(ERROR_OPERATION_ABORTED);
}

void DeviceObject::OnClose() {
  {
    MutexLock lock(&mutex_);
    FailAllLocked(ERROR_OPERATION_ABORTED);
    state_ = STATE_CLOSED;
    ShutdownLanesLocked();
  }
  MutexLock lock(&fdMutex_);
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);  // wakes the receiver, which closes the socket
}

}  // namespace tarnexio_posix
