// A real controller behind a transport (serial line, TCP, Unix socket, HCI socket).
// Unlike the simulated controller, which is made per connection, there is one: one holder
// at a time (a device connection or the H4 client) may use it, and the controller is
// attached to that holder's host while its traffic flows (in FTM mode for a type 1 device).
//
// Reading follows the host: while the host has no room, the transport is not read, so the
// kernel's buffers and the line's flow control hold the controller back. When the
// transport is lost, the attached host hears of it and the transport is opened again
// with a growing delay until it is back.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "controller.h"
#include "controller_stream.h"
#include "timers.h"
#include "transport.h"

namespace ftmd {

class RealController {
 public:
  using Opener = std::function<TransportFd(const Transport&)>;

  // resetOnAttach: send HCI_Reset each time traffic starts and keep its Command Complete
  // (and anything before it) from the host.
  RealController(const Transport& transport, TimerQueue& timers, bool resetOnAttach, Opener opener = openTransport);
  ~RealController();
  RealController(const RealController&) = delete;
  RealController& operator=(const RealController&) = delete;

  const std::string& name() const { return transport_.text; }
  bool open(std::string& error);  // the first open, at start
  bool connected() const { return fd_.valid(); }

  // The event loop's part: the descriptor (-1 while closed) and what to wait for. The
  // descriptor is polled even when there is nothing to wait for, so that its end is seen.
  int fd() const { return fd_.get(); }
  short pollEvents() const;
  void onEvents(short revents);

  // One holder at a time. claim fails with a reason when another one holds the
  // controller or the transport is down.
  bool claim(const void* who, const std::string& tag, std::string& why);
  void release(const void* who);
  bool held() const { return holder_ != nullptr; }
  const void* holder() const { return holder_; }
  // Called after the attached host heard of a lost transport (for a holder that is not a
  // device connection, such as the H4 client, which then goes).
  std::function<void(const void* holder)> onLost;

  // Traffic starts for host: null while the transport is down.
  std::unique_ptr<Controller> attach(ControllerHost& host);

  // False while the host's packets held for the end of a reset fill their room: the
  // hosts then leave their input unread, so that what is held stays bounded.
  bool takesInput() const { return heldBytes_ < kHeldLimit; }
  static constexpr size_t kHeldLimit = 64 * 1024;

  // Packet counts both ways, for the stop line.
  std::string counts() const;
  // For the metrics: transport losses, attempts to open it again, bytes each way.
  uint64_t losses() const { return losses_; }
  uint64_t reopenAttempts() const { return reopenAttempts_; }
  uint64_t bytesWritten() const { return bytesWritten_; }
  uint64_t bytesRead() const { return bytesRead_; }

 private:
  class Attached;
  friend class Attached;

  void write(uint8_t type, const uint8_t* p, size_t n);
  void flushOut();
  void readIn();
  void drain();
  void take(const uint8_t* packet, size_t n);
  bool hostHasRoom() const;
  void detach(const Attached* a);
  void lose(const std::string& why);
  void closeFd();
  void reopen();
  void resetDone();
  void deferLoss(const std::string& why);

  Transport transport_;
  TimerQueue& timers_;
  bool resetOnAttach_;
  Opener opener_;
  Fd fd_;
  bool packets_ = false;
  const void* holder_ = nullptr;
  std::string holderTag_;
  Attached* attached_ = nullptr;
  ControllerStream stream_;
  std::vector<uint8_t> rx_;
  size_t rxLen_ = 0, rxOff_ = 0;
  bool draining_ = false;
  std::deque<std::vector<uint8_t>> out_;  // one packet each, type byte first
  size_t outOff_ = 0;
  size_t outBytes_ = 0;
  std::deque<std::vector<uint8_t>> heldOut_;  // the host's packets while the reset runs
  size_t heldBytes_ = 0;
  bool awaitingReset_ = false;
  std::string pendingLoss_;
  std::string lastReopenError_;
  int backoffMs_ = 0;
  bool answered_ = false;  // the controller has sent a packet since the transport opened
  uint64_t loggedResyncs_ = 0;
  // Counts.
  uint64_t toCmd_ = 0, toAcl_ = 0, toSco_ = 0;
  uint64_t fromEvt_ = 0, fromAcl_ = 0, fromSco_ = 0, fromIso_ = 0;
  uint64_t noHost_ = 0, beforeReset_ = 0, lostWrites_ = 0, reopens_ = 0;
  uint64_t losses_ = 0, reopenAttempts_ = 0, bytesWritten_ = 0, bytesRead_ = 0;
};

}  // namespace ftmd
