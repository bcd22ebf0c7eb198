// A scripted device server for tests, on the real device channel.
//
// DeviceDouble listens on DIR/NAME (an AF_UNIX SOCK_SEQPACKET socket, DIR being the
// device directory the client will look in) and serves every connection the code under
// test opens with CreateFileW(L"\\\\.\\NAME", ...). Each IOCTL is recorded and answered
// by the script: complete at once, PENDING (complete later with CompletePending),
// ignore, send raw datagrams, or close the connection. CANCEL messages are recorded and,
// unless turned off, answered as a real server does: COMPLETE with 995 for every
// pending request they name (id 0 = all pending requests of that connection).
//
// With SetOfferLanes(true) it offers lanes as ftmd does: a connection that attaches with
// the offered token carries requests of the device connection that got the offer (they
// are recorded under that connection's number) and gets their replies.
//
// The script runs on the server's own thread; it must not call back into the double.
// Every wait is bounded by its timeout.
//
// TempDeviceDir makes a unique short directory under /tmp, points TARNEXIO_DEVICE_DIR
// at it for the lifetime of the object (restoring the previous value afterwards) and
// removes it with everything in it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tarnexio_test {

class TempDeviceDir {
 public:
  TempDeviceDir();
  ~TempDeviceDir();
  TempDeviceDir(const TempDeviceDir&) = delete;
  TempDeviceDir& operator=(const TempDeviceDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool hadPrevious_ = false;
  std::string previous_;
};

// One IOCTL as the server received it.
struct DeviceRequest {
  int connection = 0;  // 1 for the first connection accepted, 2 for the next, ...
  bool onLane = false;  // it came on a lane of that connection
  uint32_t id = 0;
  uint32_t code = 0;
  uint32_t outSize = 0;
  std::vector<uint8_t> input;
};

// One CANCEL as the server received it.
struct DeviceCancel {
  int connection = 0;
  uint32_t id = 0;
};

// What the server does with one IOCTL.
struct DeviceAction {
  enum Kind { kComplete, kPending, kIgnore, kHold, kRaw, kCloseConnection, kCloseItsConnection };
  Kind kind = kComplete;
  uint32_t status = 0;
  std::vector<uint8_t> output;
  std::vector<std::vector<uint8_t>> datagrams;  // kRaw: sent exactly as they are

  static DeviceAction Complete(uint32_t status, std::vector<uint8_t> output = {});
  static DeviceAction Pending();
  static DeviceAction Ignore();
  // No reply until the test gives one with ReleaseHeld: a request kept in the driver.
  static DeviceAction Hold();
  static DeviceAction Raw(std::vector<std::vector<uint8_t>> datagrams);
  static DeviceAction CloseConnection();
  // Closes only the connection the request came on: its lane, when it came on one.
  static DeviceAction CloseItsConnection();
};

// The datagrams of the device channel, for tests that send their own.
std::vector<uint8_t> CompleteDatagram(uint32_t id, uint32_t status, const std::vector<uint8_t>& output = {});
std::vector<uint8_t> PendingDatagram(uint32_t id);

class DeviceDouble {
 public:
  using Script = std::function<DeviceAction(const DeviceRequest&)>;

  // Listens on NAME in the device directory the bridge would use.
  explicit DeviceDouble(const std::string& name);
  DeviceDouble(const std::string& dir, const std::string& name);
  // Stops the server: closes every connection and removes the socket.
  ~DeviceDouble();
  DeviceDouble(const DeviceDouble&) = delete;
  DeviceDouble& operator=(const DeviceDouble&) = delete;

  // L"\\\\.\\NAME", the path a client opens.
  std::wstring DevicePath() const;

  // Replaces the script. The default completes every request at once with status 0 and
  // no output.
  void SetScript(Script script);
  // Whether CANCEL is answered (default) or only recorded.
  void SetAnswerCancels(bool answer);
  // Whether connections accepted from now on are offered lanes (default: no, as a
  // server that knows none).
  void SetOfferLanes(bool offer);
  // Connections that attached as lanes so far.
  int LaneCount() const;

  // Completes a request that was answered PENDING. connection 0 means the latest
  // connection that has this id pending. Returns false if no such request is pending.
  bool CompletePending(uint32_t id, uint32_t status, const std::vector<uint8_t>& output = {}, int connection = 0);
  // Completes a request that Hold kept without a reply. False if no such request is held.
  bool ReleaseHeld(uint32_t id, uint32_t status, const std::vector<uint8_t>& output = {});
  // Stops listening and closes everything, as a server that dies. Idempotent.
  void Stop();

  // Bounded waits: true once the condition holds, false when the time runs out.
  bool WaitForRequests(size_t count, int timeoutMs = 5000);
  bool WaitForCancels(size_t count, int timeoutMs = 5000);
  bool WaitForConnections(size_t count, int timeoutMs = 5000);
  // Waits until no connection is open (the client closed or the server closed them).
  bool WaitForNoConnections(int timeoutMs = 5000);

  // Forgets the requests and cancels recorded so far.
  void Forget();
  std::vector<DeviceRequest> Requests() const;
  std::vector<DeviceCancel> Cancels() const;

 private:
  struct Connection {
    int fd = -1;
    std::set<uint32_t> pending;
    std::set<uint32_t> held;  // kept by Hold, answered by nothing but ReleaseHeld
    int device = 0;                  // a lane: the connection whose requests it carries
    std::map<uint32_t, int> routes;  // request id -> the lane its replies go to
  };

  void Serve();
  void HandleDatagram(int number, const uint8_t* data, size_t size);
  bool SendLocked(int number, const std::vector<uint8_t>& datagram);
  // A reply to request id of device connection number, on the lane it came on if any.
  bool ReplyLocked(int number, uint32_t id, const std::vector<uint8_t>& datagram);
  template <typename Pred>
  bool WaitFor(int timeoutMs, Pred pred);

  std::string socketPath_;
  std::string name_;
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  std::thread thread_;

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  Script script_;
  bool answerCancels_ = true;
  bool offerLanes_ = false;
  int laneCount_ = 0;
  bool stopping_ = false;
  int connectionCount_ = 0;
  std::map<int, Connection> connections_;  // open connections by number
  std::vector<DeviceRequest> requests_;
  std::vector<DeviceCancel> cancels_;
};

}  // namespace tarnexio_test
