// Driver devices over the device channel: a device path \\.\NAME is the local
// SOCK_SEQPACKET socket DIR/NAME of a device server. Each open device has one receiver
// thread that reads the server's replies and finishes the requests they name.
//
// Every OVERLAPPED field the layer writes or reads once a request has been issued is
// touched under g_overlappedMutex, and a caller's output buffer is written only while
// its request is still outstanding.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
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

struct Request {
  uint32_t id = 0;
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
  explicit DeviceObject(int fd) : fd_(fd) {}

  void Receive();
  BOOL Ioctl(DWORD code, const uint8_t* in, DWORD inSize, uint8_t* out, DWORD outSize, LPDWORD bytesReturned,
             OVERLAPPED* ov);
  BOOL Cancel(OVERLAPPED* ov);
  BOOL Result(OVERLAPPED* ov, LPDWORD bytesTransferred, BOOL wait);
  void OnClose() override;

 private:
  enum State { kOpen, kClosed, kDisconnected };

  bool Send(const std::vector<uint8_t>& datagram);
  void HandleDatagram(const uint8_t* data, size_t size);
  void CompleteLocked(const std::shared_ptr<Request>& r, DWORD status, const uint8_t* data, size_t size);
  void FailAllLocked(DWORD status);
  // The connection is gone: every request fails with 1167, now and later.
  void DisconnectLocked();
  std::shared_ptr<Request> FindByOverlappedLocked(const OVERLAPPED* ov);

  std::mutex mutex_;  // guards everything below except fd_, and the requests' state
  State state_ = kOpen;
  uint32_t nextId_ = 1;
  std::map<uint32_t, std::shared_ptr<Request>> outstanding_;

  std::mutex fdMutex_;  // guards sends, shutdown and the final close of fd_
  int fd_;
};

bool DeviceObject::Send(const std::vector<uint8_t>& datagram) {
  std::lock_guard<std::mutex> lock(fdMutex_);
  if (fd_ < 0) return false;
  for (;;) {
    ssize_t n = send(fd_, datagram.data(), datagram.size(), MSG_NOSIGNAL);
    if (n >= 0) return size_t(n) == datagram.size();
    if (errno != EINTR) return false;
  }
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
  std::shared_ptr<Request> r;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = outstanding_.find(reply.id);
    if (it == outstanding_.end()) return;
    r = it->second;
    if (reply.kind == wire::kMsgComplete) {
      CompleteLocked(r, reply.status, reply.payload, reply.payloadSize);
    } else if (!r->wentPending) {
      r->wentPending = true;
    } else {
      return;  // a second PENDING for the same request
    }
  }
  // Woken after the mutex is free, the waiter does not run only to block on it again.
  r->changed.notify_all();
}

void DeviceObject::Receive() {
  const int fd = fd_;  // only this thread ever changes fd_
  std::vector<uint8_t> buffer(64 * 1024);
  for (;;) {
    ssize_t n = recv(fd, buffer.data(), buffer.size(), MSG_PEEK | MSG_TRUNC);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (n == 0) {
      // Either the end of the connection or an empty datagram (which is malformed).
      struct pollfd p = {fd, POLLIN | POLLRDHUP, 0};
      if (poll(&p, 1, 0) != 1 || (p.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0) break;
    }
    if (size_t(n) > buffer.size()) buffer.resize(size_t(n));
    n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    HandleDatagram(buffer.data(), size_t(n));
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
  outstanding_[r->id] = r;
  lock.unlock();

  bool sent = Send(wire::BuildDevchanIoctl(r->id, code, r->outSize, in, in != nullptr ? inSize : 0));

  lock.lock();
  if (!sent) DisconnectLocked();
  r->changed.wait(lock, [&] { return r->wentPending || r->done; });
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
  Send(wire::BuildDevchanCancel(id));
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
  r->changed.wait(lock, [&] { return r->done; });
  return ReportResult(r->status, r->bytes, bytesTransferred);
}

void DeviceObject::OnClose() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    FailAllLocked(ERROR_OPERATION_ABORTED);
    state_ = kClosed;
  }
  std::lock_guard<std::mutex> lock(fdMutex_);
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);  // wakes the receiver, which closes the socket
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

}  // namespace
}  // namespace tarnexio_posix

using namespace tarnexio_posix;

HANDLE CreateFileW(LPCWSTR fileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  const std::string name = DeviceName(fileName);
  const std::string dir = DeviceDir();
  const std::string path = dir + "/" + name;
  struct sockaddr_un address;
  std::memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  if (name.empty() || path.size() >= sizeof(address.sun_path) || !DeviceDirTrusted(dir)) {
    if (!name.empty() && path.size() >= sizeof(address.sun_path)) NoteDeviceOpenFailure(path, ENAMETOOLONG);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    NoteDeviceOpenFailure(path, errno);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) NoteDeviceOpenFailure(path, errno);  // a refused peer reports itself
  if (rc != 0 || !DevicePeerTrusted(fd, path)) {
    close(fd);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto device = std::make_shared<DeviceObject>(fd);
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
