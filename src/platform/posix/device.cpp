// Driver devices over the device channel: a device path \\.\NAME is the local
// SOCK_SEQPACKET socket DIR/NAME of a device server. Each open device has one receiver
// thread that reads the server's replies and finishes the requests they name.
//
// When the server offers lanes, every thread that issues requests gets a connection of
// its own (a lane) whose replies the server sends there, and a thread that waits for one
// of its requests reads its lane itself: the reply wakes that thread and nobody else. The
// receiver reads a lane only while requests are outstanding on it and nobody reads it.
//
// Every OVERLAPPED field the layer writes or reads once a request has been issued is
// touched under g_overlappedMutex, and a caller's output buffer is written only while
// its request is still outstanding.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/internal.h"
#include "platform/posix/utf8.h"
#include "wire/devchan.h"
#include "wire/device_dir.h"

namespace tarnexio_posix {
namespace {

std::mutex g_overlappedMutex;

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

// What ReceiveOne returns besides a datagram's length.
constexpr ssize_t kReceiveEnd = -1;    // the connection is over
constexpr ssize_t kReceiveAgain = -2;  // nothing there yet (non-blocking) or a signal came

// One datagram from fd, read once into buffer after growing it to room bytes: its length
// (0 for an empty datagram, which is malformed), kReceiveAgain or kReceiveEnd.
ssize_t ReceiveOne(int fd, std::vector<uint8_t>& buffer, size_t room, int flags) {
  if (buffer.size() < room) buffer.resize(room);
  const ssize_t n = recv(fd, buffer.data(), buffer.size(), flags | MSG_TRUNC);
  if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? kReceiveAgain : kReceiveEnd;
  if (n == 0) {
    // Either the end of the connection (which the socket shows as a hang-up from then
    // on) or an empty datagram, possibly with nothing behind it yet.
    struct pollfd p = {fd, POLLIN | POLLRDHUP, 0};
    if (poll(&p, 1, 0) < 0 || (p.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0) return kReceiveEnd;
  }
  // Room is the largest reply any request may get, so nothing is cut here.
  return size_t(n) > buffer.size() ? ssize_t(buffer.size()) : n;
}

// One thread's own connection to the device.
struct Lane {
  explicit Lane(int socket) : fd(socket) {}
  ~Lane() { close(fd); }
  Lane(const Lane&) = delete;
  Lane& operator=(const Lane&) = delete;

  const int fd;  // closed with the device object, after every user has gone
  std::mutex reading;  // held by the one thread that reads the lane
  bool watched = false;  // in the receiver's set (under reading)
  std::vector<uint8_t> buffer;  // under reading
  // Under the device's mutex: requests issued here and not done; threads that wait for a
  // reply while another thread holds reading, and how often reading was given up while
  // such threads waited (each time they try to take it again).
  int outstanding = 0;
  int blocked = 0;
  unsigned releases = 0;
};

struct Request {
  uint32_t id = 0;
  std::shared_ptr<Lane> lane;  // the lane its replies come on, or none
  uint8_t* out = nullptr;  // cleared once the caller's buffer may no longer be written
  DWORD outSize = 0;
  OVERLAPPED* ov = nullptr;
  std::shared_ptr<KernelObject> event;  // the OVERLAPPED's event, kept alive here
  bool wentPending = false;  // the first reply was PENDING
  bool done = false;         // completed: status and bytes are final
  DWORD status = 0;
  DWORD bytes = 0;
  // Wakes only the thread waiting for this request (under the device's mutex), not the
  // readers that wait for theirs.
  std::condition_variable changed;
};

class DeviceObject : public KernelObject {
 public:
  DeviceObject(int fd, int epollFd, std::string path) : epollFd_(epollFd), path_(std::move(path)), fd_(fd) {}
  ~DeviceObject() override { close(epollFd_); }

  void Receive();
  BOOL Ioctl(DWORD code, const uint8_t* in, DWORD inSize, uint8_t* out, DWORD outSize, LPDWORD bytesReturned,
             OVERLAPPED* ov);
  BOOL Cancel(OVERLAPPED* ov);
  BOOL Result(OVERLAPPED* ov, LPDWORD bytesTransferred, BOOL wait);
  void OnClosing() override;
  void OnClose() override;

 private:
  enum State { kOpen, kClosed, kDisconnected };

  // Reads a lane while a thread waits for a reply on it: holds the lane's reading lock
  // whenever it can take it (the lane is then out of the receiver's set); while another
  // thread holds it, the waiter waits to be woken by its reply or by that thread giving
  // the lane up.
  class LaneReader {
   public:
    LaneReader(DeviceObject* device, std::shared_ptr<Lane> lane);
    ~LaneReader();  // hands the lane back to the receiver if requests remain on it
    void Until(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Request>& r, bool finalOnly);

   private:
    DeviceObject* device_;
    std::shared_ptr<Lane> lane_;
    std::unique_lock<std::mutex> reading_;
  };

  // On the lane when there is one (only its owner sends there), else on the connection.
  bool Send(const Lane* lane, const std::vector<uint8_t>& datagram);
  std::shared_ptr<Lane> LaneOfThisThread();
  std::shared_ptr<Lane> OpenLane(uint32_t token);
  void Watch(Lane& lane, bool on);  // under lane.reading
  void ReadAside(Lane& lane, std::vector<uint8_t>& buffer);
  // After lane.reading was given up: wakes the threads that wait to take it.
  void ReleasedLocked(Lane& lane);
  void ShutdownLanesLocked();
  size_t Room() const { return largestReply_.load(std::memory_order_acquire); }
  void HandleDatagram(const uint8_t* data, size_t size);
  void CompleteLocked(const std::shared_ptr<Request>& r, DWORD status, const uint8_t* data, size_t size);
  void FailAllLocked(DWORD status);
  // The connection is gone: every request fails with 1167, now and later.
  void DisconnectLocked();
  std::shared_ptr<Request> FindByOverlappedLocked(const OVERLAPPED* ov);

  const int epollFd_;  // what the receiver waits on: the connection and lanes nobody reads
  const std::string path_;
  std::atomic<uint32_t> laneToken_{0};  // from the server's offer; 0 until then
  std::atomic<size_t> largestReply_{16 + 4096};  // a header and the largest output asked for

  std::mutex mutex_;  // guards everything below except fd_, and the requests' state
  State state_ = kOpen;
  uint32_t nextId_ = 1;
  std::map<uint32_t, std::shared_ptr<Request>> outstanding_;
  std::map<std::thread::id, std::shared_ptr<Lane>> lanes_;  // none: the thread uses the connection

  std::mutex fdMutex_;  // guards sends, shutdown and the final close of fd_
  int fd_;
};

bool SendWhole(int fd, const std::vector<uint8_t>& datagram) {
  for (;;) {
    ssize_t n = send(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL);
    if (n >= 0) return size_t(n) == datagram.size();
    if (errno != EINTR) return false;
  }
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
    r->changed.notify_all();
  }
}

void DeviceObject::DisconnectLocked() {
  if (state_ != kOpen) return;
  state_ = kDisconnected;
  FailAllLocked(ERROR_DEVICE_NOT_CONNECTED);
  ShutdownLanesLocked();
}

void DeviceObject::ShutdownLanesLocked() {
  // Wakes the threads that read their lanes; the sockets stay open until the object goes.
  for (auto& entry : lanes_) {
    if (entry.second) shutdown(entry.second->fd, SHUT_RDWR);
  }
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
    laneToken_.store(reply.token, std::memory_order_release);
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
  r->changed.notify_all();
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
  const uint32_t token = laneToken_.load(std::memory_order_acquire);
  if (token == 0) return nullptr;
  const std::thread::id self = std::this_thread::get_id();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = lanes_.find(self);
    if (it != lanes_.end()) return it->second;
    if (state_ != kOpen) return nullptr;
  }
  std::shared_ptr<Lane> lane = OpenLane(token);
  std::lock_guard<std::mutex> lock(mutex_);
  // Without a lane (the attach failed) the thread keeps using the connection.
  lanes_[self] = lane;
  if (lane && state_ != kOpen) shutdown(lane->fd, SHUT_RDWR);
  return lane;
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
  std::unique_ptr<LaneReader> reader(lane ? new LaneReader(this, lane) : nullptr);
  std::unique_lock<std::mutex> lock(mutex_);
  if (state_ != kOpen) {
    SetLastError(state_ == kClosed ? ERROR_INVALID_HANDLE : ERROR_DEVICE_NOT_CONNECTED);
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
  if (reader) {
    reader->Until(lock, r, false);
  } else {
    r->changed.wait(lock, [&] { return r->wentPending || r->done; });
  }
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
    if (state_ != kOpen) {
      SetLastError(state_ == kClosed ? ERROR_INVALID_HANDLE : ERROR_NOT_FOUND);
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
  if (r->lane && !r->done) {
    std::shared_ptr<Lane> lane = r->lane;
    lock.unlock();
    LaneReader reader(this, lane);  // goes after the lock below is released
    std::unique_lock<std::mutex> relock(mutex_);
    reader.Until(relock, r, true);
    return ReportResult(r->status, r->bytes, bytesTransferred);
  }
  r->changed.wait(lock, [&] { return r->done; });
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
    state_ = kClosed;
    ShutdownLanesLocked();
  }
  std::lock_guard<std::mutex> lock(fdMutex_);
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);  // wakes the receiver, which closes the socket
}

// Only a driver that runs as root or as this user may answer on the device socket; the
// kernel names the process that listens on it.
bool DevicePeerTrusted(int fd, const std::string& path) {
  struct ucred peer;
  socklen_t size = sizeof(peer);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    WriteHintLine("not using " + path + ": the credentials of its server are unknown");
    return false;
  }
  if (peer.uid == 0 || peer.uid == geteuid()) return true;
  WriteHintLine("not using " + path + ": its server runs as uid " + std::to_string(peer.uid) +
                ", neither this user nor root");
  return false;
}

// A connection to the device socket at path whose server may be trusted, or -1.
int ConnectDevice(const std::string& path) {
  struct sockaddr_un address;
  std::memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address.sun_path)) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  if (!DevicePeerTrusted(fd, path)) {
    close(fd);
    errno = 0;  // the refusal has reported itself
    return -1;
  }
  return fd;
}

std::shared_ptr<Lane> DeviceObject::OpenLane(uint32_t token) {
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

std::string DeviceDir() {
  const char* override = std::getenv("TARNEXIO_DEVICE_DIR");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return DeviceDirectory(override != nullptr ? override : "", runtime != nullptr ? runtime : "", geteuid());
}

// "\\.\NAME" -> NAME, as UTF-8. Empty when the path does not name a device.
std::string DeviceName(LPCWSTR fileName) {
  if (fileName == nullptr) return std::string();
  std::wstring path(fileName);
  const std::wstring prefix = L"\\\\.\\";
  if (path.compare(0, prefix.size(), prefix) != 0 || path.size() == prefix.size()) return std::string();
  std::string name;
  for (size_t i = prefix.size(); i < path.size(); ++i) {
    if (path[i] == L'/' || path[i] == 0) return std::string();
    AppendUtf8(name, uint32_t(path[i]));
  }
  return name;
}

// The device directory may only be one that no other user can have planted or can change:
// a missing one is created for this user alone, an existing one must pass the shared rule.
bool DeviceDirTrusted(const std::string& dir) {
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return true;  // the connect reports it missing
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) return true;
  const std::string problem = DeviceDirectoryProblem(st.st_mode, st.st_uid, geteuid());
  if (problem.empty()) return true;
  WriteHintLine("not using the device directory " + dir + ": it " + problem);
  return false;
}

}  // namespace
}  // namespace tarnexio_posix

using namespace tarnexio_posix;

HANDLE CreateFileW(LPCWSTR fileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  const std::string name = DeviceName(fileName);
  const std::string dir = DeviceDir();
  const std::string path = dir + "/" + name;
  // errno says why an open failed; 0 when the reason has been reported already (a device
  // directory or a server that is not trusted) or there is nothing to name.
  int fd = -1;
  errno = 0;
  if (!name.empty() && path.size() >= sizeof(sockaddr_un::sun_path))
    errno = ENAMETOOLONG;
  else if (!name.empty() && DeviceDirTrusted(dir))
    fd = ConnectDevice(path);
  else
    errno = 0;
  if (fd < 0) {
    if (errno != 0) NoteDeviceOpenFailure(path, errno);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  int epollFd = epoll_create1(EPOLL_CLOEXEC);
  struct epoll_event event = {};
  event.events = EPOLLIN | EPOLLRDHUP;
  event.data.ptr = nullptr;  // the connection itself
  if (epollFd < 0 || epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) != 0) {
    if (epollFd >= 0) close(epollFd);
    close(fd);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  auto device = std::make_shared<DeviceObject>(fd, epollFd, path);
  if (!StartLayerThread([device] { device->Receive(); })) {
    close(fd);  // no receiver will close it
    return INVALID_HANDLE_VALUE;
  }
  ForgetDeviceOpenFailures();
  return AddHandle(device);
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
  auto d = FindHandleOf<DeviceObject>(device);
  if (!d) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return d->Ioctl(ioControlCode, static_cast<const uint8_t*>(inBuffer), inBufferSize,
                  static_cast<uint8_t*>(outBuffer), outBufferSize, bytesReturned, overlapped);
}

BOOL GetOverlappedResult(HANDLE device, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait) {
  if (overlapped == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ULONG_PTR status;
  ULONG_PTR bytes;
  ReadOverlapped(overlapped, &status, &bytes);
  if (status != STATUS_PENDING) return ReportResult(status, bytes, bytesTransferred);
  auto d = FindHandleOf<DeviceObject>(device);
  if (!d) {
    // Closed meanwhile: its close ended the request before the handle left the table.
    ReadOverlapped(overlapped, &status, &bytes);
    if (status != STATUS_PENDING) return ReportResult(status, bytes, bytesTransferred);
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return d->Result(overlapped, bytesTransferred, wait);
}

BOOL CancelIoEx(HANDLE device, LPOVERLAPPED overlapped) {
  auto d = FindHandleOf<DeviceObject>(device);
  if (!d) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return d->Cancel(overlapped);
}
