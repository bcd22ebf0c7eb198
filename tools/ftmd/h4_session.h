// One client of the H4 port: a byte stream of H4 packets to and from its own controller.
#pragma once

#include <memory>

#include "capture.h"
#include "controller.h"
#include "fd.h"
#include "protocol.h"
#include "timers.h"
#include "wire/h4.h"

namespace ftmd {

class H4Session : private ControllerHost {
 public:
  H4Session(Fd fd, const ControllerOptions& opt, TimerQueue& timers, CaptureFile* capture);
  ~H4Session() override;
  H4Session(const H4Session&) = delete;
  H4Session& operator=(const H4Session&) = delete;

  int fd() const { return fd_.get(); }
  bool wantsInput() const { return hasRoom(Channel::Event) && controller_->takesInput(); }
  bool wantsOutput() const { return outOff_ < out_.size(); }
  // Each returns false when the session is over (client gone or stream out of step).
  bool onReadable();
  bool onWritable();

 private:
  bool hasRoom(Channel ch) const override;
  void deliver(Channel ch, Bytes packet) override;
  void after(std::chrono::milliseconds delay, std::function<void()> fn) override;
  bool takePackets(const uint8_t* data, size_t len);
  bool flush();

  Fd fd_;
  TimerQueue& timers_;
  std::unique_ptr<Controller> controller_;
  // A client's packet: the longest is an ACL packet with the driver's largest data.
  uint8_t packet_[1 + kAclHeaderSize + kAclMaxData];
  H4Parser parser_;
  Bytes out_;
  size_t outOff_ = 0;
  bool broken_ = false;
  CaptureFile* capture_;
  HciCounts counts_;
};

}  // namespace ftmd
