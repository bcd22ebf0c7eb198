// The device object behind a handle to a driver device, shared by the files that make
// it up: device.cpp (the calls the bridge makes), device_requests.cpp (requests and
// their completion), device_lanes.cpp (per-thread lanes), device_connect.cpp (the
// connection and the check of its server) and device_path.cpp (the device's path and
// the check of its directory).
//
// Driver devices over the device channel: a device path \\.\NAME is the local
// SOCK_SEQPACKET socket DIR/NAME of a device server.
//
// Each open device has one receiver thread that reads the server's replies on the
// device's own connection and finishes the requests they name.
//
// When the server offers lanes, every thread that issues requests gets a connection of
// its own (a lane) whose replies the server sends there. While that thread waits in the
// layer it is the lane's one reader: the reply wakes that thread and nobody else. While
// it is away and requests remain on the lane, the receiver is its one reader. Nobody ever
// holds a lane's lock while waiting, so neither reader waits for the other, and a thread
// that waits for a request of another thread's lane waits on that request alone.
//
// Every OVERLAPPED field the layer writes or reads once a request has been issued is
// touched under g_overlappedMutex, and a caller's output buffer is written only while
// its request is still outstanding.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/internal.h"
#include "wire/devchan.h"

namespace tarnexio_posix {

void WriteOverlapped(OVERLAPPED* ov, ULONG_PTR status, ULONG_PTR bytes);
void ReadOverlapped(const OVERLAPPED* ov, ULONG_PTR* status, ULONG_PTR* bytes);
BOOL ReportResult(ULONG_PTR status, ULONG_PTR bytes, LPDWORD bytesTransferred);

// What ReceiveOne returns besides a datagram's length.
constexpr ssize_t kReceiveEnd = -1;    // the connection is over
constexpr ssize_t kReceiveAgain = -2;  // nothing there yet (non-blocking) or a signal came

// One datagram from fd, read once into buffer after growing it to room bytes: its length
// (0 for an empty datagram, which is malformed), kReceiveAgain or kReceiveEnd.
ssize_t ReceiveOne(int fd, std::vector<uint8_t>& buffer, size_t room, int flags);
bool SendWhole(int fd, const std::vector<uint8_t>& datagram);

// One thread's own connection to the device.
struct Lane {
  explicit Lane(int socket) : fd(socket) {}
  ~Lane() { close(fd); }
  Lane(const Lane&) = delete;
  Lane& operator=(const Lane&) = delete;

  const int fd;  // closed with the device object, after every user has gone
  // Held around one read that does not wait, and around a change of reader, never while
  // waiting for a reply.
  std::mutex reading;
  bool ownerReads = false;  // under reading: its thread waits in the layer and reads it
  bool watched = false;     // under reading: in the receiver's set
  std::vector<uint8_t> buffer;  // its thread's, while ownerReads
  int outstanding = 0;  // under the device's mutex: requests issued here and not done
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
  // Notified (under the device's mutex) when the request gets a reply or ends, so that
  // a reply wakes the thread that waits for it and nobody else.
  std::condition_variable replied;
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
  enum State { STATE_OPEN, STATE_CLOSED, STATE_DISCONNECTED };

  // On the lane when there is one (only its owner sends there), else on the connection.
  bool Send(const Lane* lane, const std::vector<uint8_t>& datagram);
  std::shared_ptr<Lane> LaneOfThisThread();
  std::shared_ptr<Lane> OpenLane(const wire::LaneToken& token);
  // The calling thread becomes the reader of its own lane, or gives it back to the
  // receiver (which reads it while requests remain on it).
  void TakeLane(Lane& lane);
  void LeaveLane(Lane& lane);
  // With lock (the device's mutex) held on entry and exit: takes the calling thread's own
  // lane, reads it until r has its first reply (or is done, with finalOnly) and gives it
  // back.
  void ReadOwnLane(std::unique_lock<std::mutex>& lock, Lane& lane, const Request& r, bool finalOnly);
  void Watch(Lane& lane, bool on);  // under lane.reading
  // The receiver's read of a lane its thread does not read.
  void ReadAside(Lane& lane, std::vector<uint8_t>& buffer);
  void ShutdownLanesLocked();
  size_t Room() const { return largestReply_.load(std::memory_order_acquire); }
  void HandleDatagram(const uint8_t* data, size_t size);
  void CompleteLocked(const std::shared_ptr<Request>& r, DWORD status, const uint8_t* data, size_t size);
  void FailAllLocked(DWORD status);
  // The connection is gone: every request fails with 1167, now and later.
  void DisconnectLocked();
  std::shared_ptr<Request> FindByOverlappedLocked(const OVERLAPPED* ov);

  const int epollFd_;  // what the receiver waits on: the connection and the lanes it reads
  const std::string path_;
  std::atomic<size_t> largestReply_{16 + 4096};  // a header and the largest output asked for

  std::mutex mutex_;  // guards everything below except fd_, and the requests' state
  State state_ = STATE_OPEN;
  wire::LaneToken laneToken_;  // from the server's offer; none until then
  uint32_t nextId_ = 1;
  std::map<uint32_t, std::shared_ptr<Request>> outstanding_;
  std::map<std::thread::id, std::shared_ptr<Lane>> lanes_;  // none: the thread uses the connection

  std::mutex fdMutex_;  // guards sends, shutdown and the final close of fd_
  int fd_;
};

// A connection to the device socket at path whose server may be trusted, or -1. `via`,
// when given, is where the socket is reached (a path through the directory's descriptor).
int ConnectDevice(const std::string& path, const std::string& via = std::string());

std::string DeviceDir();
// "\\.\NAME" -> NAME, as UTF-8. Empty when the path does not name a device.
std::string DeviceName(LPCWSTR fileName);
// The device directory, open, when it is one this user may trust, or -1 with errno (0 when
// the refusal has been reported already).
int OpenDeviceDir(const std::string& dir);

}  // namespace tarnexio_posix
