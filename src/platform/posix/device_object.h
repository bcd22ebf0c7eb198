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
//
// The locks (wire/locks.h, checked by clang's -Wthread-safety), in the order a thread
// takes them: a lane's `reading`, then the device's `mutex_`, then g_overlappedMutex or
// an event's own mutex. `fdMutex_` is taken alone. The map of all locks is docs/threads.md.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/internal.h"
#include "wire/devchan.h"
#include "wire/locks.h"

namespace tarnexio_posix {

// Guards Internal and InternalHigh of every OVERLAPPED from the issue of its request to
// its end; taken by these two alone, the last lock of all.
extern Mutex g_overlappedMutex;
void WriteOverlapped(OVERLAPPED* ov, ULONG_PTR status, ULONG_PTR bytes) TARNEXIO_EXCLUDES(g_overlappedMutex);
void ReadOverlapped(const OVERLAPPED* ov, ULONG_PTR* status, ULONG_PTR* bytes) TARNEXIO_EXCLUDES(g_overlappedMutex);
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
  // waiting for a reply. Taken before the device's mutex_.
  Mutex reading;
  bool ownerReads TARNEXIO_GUARDED_BY(reading) = false;  // its thread waits in the layer and reads it
  bool watched TARNEXIO_GUARDED_BY(reading) = false;     // in the receiver's set
  // Its thread's alone (the receiver reads into a buffer of its own).
  std::vector<uint8_t> buffer;
};

// A request to the device. What may change once it is outstanding is in `progress`,
// which the device reaches only through DeviceObject::Locked, a function the analysis
// lets run with the device's mutex_ held alone; the rest is set when the request is made
// and does not change.
class Request {
 public:
  Request(uint8_t* out, DWORD size, OVERLAPPED* record, std::shared_ptr<KernelObject> recordEvent)
      : outSize(out != nullptr ? size : 0), ov(record), event(std::move(recordEvent)) {
    progress.out = out;  // before anyone else sees it
  }

  const DWORD outSize;  // 0 without an output buffer
  OVERLAPPED* const ov;
  const std::shared_ptr<KernelObject> event;  // the OVERLAPPED's event, kept alive here
  // Notified when the request gets a reply or ends, so that a reply wakes the thread
  // that waits for it and nobody else. Waited on with the device's mutex_.
  MutexCondition replied;

 private:
  friend class DeviceObject;
  struct Progress {
    uint32_t id = 0;
    std::shared_ptr<Lane> lane;  // the lane its replies come on, or none
    uint8_t* out = nullptr;      // cleared once the caller's buffer may no longer be written
    bool wentPending = false;    // the first reply was PENDING
    bool done = false;           // completed: status and bytes are final
    DWORD status = 0;
    DWORD bytes = 0;
  };
  Progress progress;
};

class DeviceObject : public KernelObject {
 public:
  DeviceObject(int fd, int epollFd, std::string path) : epollFd_(epollFd), path_(std::move(path)), fd_(fd) {}
  ~DeviceObject() override { close(epollFd_); }

  void Receive() TARNEXIO_EXCLUDES(mutex_, fdMutex_);
  BOOL Ioctl(DWORD code, const uint8_t* in, DWORD inSize, uint8_t* out, DWORD outSize, LPDWORD bytesReturned,
             OVERLAPPED* ov) TARNEXIO_EXCLUDES(mutex_);
  BOOL Cancel(OVERLAPPED* ov) TARNEXIO_EXCLUDES(mutex_);
  BOOL Result(OVERLAPPED* ov, LPDWORD bytesTransferred, BOOL wait) TARNEXIO_EXCLUDES(mutex_);
  void OnClosing() TARNEXIO_EXCLUDES(mutex_) override;
  void OnClose() TARNEXIO_EXCLUDES(mutex_, fdMutex_) override;

 private:
  enum State { STATE_OPEN, STATE_CLOSED, STATE_DISCONNECTED };

  // A request's changing part: only with the device's mutex_ held.
  Request::Progress& Locked(Request& r) TARNEXIO_REQUIRES(mutex_) { return r.progress; }
  const Request::Progress& Locked(const Request& r) const TARNEXIO_REQUIRES(mutex_) { return r.progress; }

  // On the lane when there is one (only its owner sends there), else on the connection.
  bool Send(const Lane* lane, const std::vector<uint8_t>& datagram) TARNEXIO_EXCLUDES(fdMutex_);
  std::shared_ptr<Lane> LaneOfThisThread() TARNEXIO_EXCLUDES(mutex_);
  std::shared_ptr<Lane> OpenLane(const wire::LaneToken& token);
  // The calling thread becomes the reader of its own lane, or gives it back to the
  // receiver (which reads it while requests remain on it).
  void TakeLane(Lane& lane) TARNEXIO_EXCLUDES(lane.reading, mutex_);
  void LeaveLane(Lane& lane) TARNEXIO_EXCLUDES(lane.reading, mutex_);
  // With the device's mutex held on entry and exit (let go while it reads): takes the
  // calling thread's own lane, reads it until r has its first reply (or is done, with
  // finalOnly) and gives it back.
  void ReadOwnLaneLocked(Lane& lane, const Request& r, bool finalOnly) TARNEXIO_REQUIRES(mutex_);
  void WatchLocked(Lane& lane, bool on) TARNEXIO_REQUIRES(lane.reading);
  // The receiver's read of a lane its thread does not read.
  void ReadAside(Lane& lane, std::vector<uint8_t>& buffer) TARNEXIO_EXCLUDES(lane.reading, mutex_);
  // Requests issued on lane and not done.
  bool LaneBusyLocked(const Lane& lane) const TARNEXIO_REQUIRES(mutex_);
  void ShutdownLanesLocked() TARNEXIO_REQUIRES(mutex_);
  size_t Room() const { return largestReply_.load(std::memory_order_acquire); }
  void HandleDatagram(const uint8_t* data, size_t size) TARNEXIO_EXCLUDES(mutex_);
  void CompleteLocked(const std::shared_ptr<Request>& r, DWORD status, const uint8_t* data, size_t size)
      TARNEXIO_REQUIRES(mutex_);
  void FailAllLocked(DWORD status) TARNEXIO_REQUIRES(mutex_);
  // The connection is gone: every request fails with 1167, now and later.
  void DisconnectLocked() TARNEXIO_REQUIRES(mutex_);
  std::shared_ptr<Request> FindByOverlappedLocked(const OVERLAPPED* ov) TARNEXIO_REQUIRES(mutex_);

  const int epollFd_;  // what the receiver waits on: the connection and the lanes it reads
  const std::string path_;
  std::atomic<size_t> largestReply_{16 + 4096};  // a header and the largest output asked for

  // Guards everything below up to fdMutex_, and each request's progress.
  Mutex mutex_ TARNEXIO_ACQUIRED_BEFORE(g_overlappedMutex);
  State state_ TARNEXIO_GUARDED_BY(mutex_) = STATE_OPEN;
  wire::LaneToken laneToken_ TARNEXIO_GUARDED_BY(mutex_);  // from the server's offer; none until then
  uint32_t nextId_ TARNEXIO_GUARDED_BY(mutex_) = 1;
  std::map<uint32_t, std::shared_ptr<Request>> outstanding_ TARNEXIO_GUARDED_BY(mutex_);
  // None for a thread: the thread uses the connection.
  std::map<std::thread::id, std::shared_ptr<Lane>> lanes_ TARNEXIO_GUARDED_BY(mutex_);

  Mutex fdMutex_;  // sends, shutdown and the final close of fd_; taken with no other lock held
  int fd_ TARNEXIO_GUARDED_BY(fdMutex_);
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
