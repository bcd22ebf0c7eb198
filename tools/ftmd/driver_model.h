// The driver side of one device connection: checks each request's buffers, keeps the
// pending reads and the enable-FTM request, the selected SCO interface, and the
// controller's output per channel until a read takes it.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>

#include "capture.h"
#include "controller.h"
#include "requests.h"
#include "timers.h"

namespace ftmd {

struct DriverConfig {
  int type = 1;              // 1: type 1 device, 2: type 2 device
  bool btOn = false;         // refuse FTM mode: Bluetooth is on
  unsigned ftmSeconds = 0;   // end FTM mode after this many seconds (0: only on request)
  size_t queueLimit = 256;   // controller packets held per channel
  size_t pendingLimit = 64;  // pending reads per channel, and writes waiting for the controller
  bool pendAlways = false;   // reads and writes answer PENDING first even when done at once
  ControllerOptions controller;
  CaptureFile* capture = nullptr;  // --btsnoop, shared by every connection
};

class DriverModel : private ControllerHost {
 public:
  using Send = std::function<void(Bytes)>;
  DriverModel(const DriverConfig& cfg, TimerQueue& timers, Send send, std::string tag);
  ~DriverModel() override;
  DriverModel(const DriverModel&) = delete;
  DriverModel& operator=(const DriverModel&) = delete;

  void handle(const Request& r);  // one IOCTL or CANCEL
  void endFtmMode();              // FTM mode ends (if on): the request completes with success
  bool ftmModeOn() const { return ftmId_ != 0; }
  size_t pendingCount() const { return pendingIds_.size(); }
  // The HCI packets that passed between the client and the controller.
  const HciCounts& counts() const { return counts_; }

 private:
  struct Read {
    uint32_t id;
    uint32_t outSize;
  };
  // A write the controller cannot take yet: its output queues are too full.
  struct HeldWrite {
    uint32_t id;
    Channel ch;
    Bytes packet;
  };

  bool hasRoom(Channel ch) const override;
  void deliver(Channel ch, Bytes packet) override;
  void after(std::chrono::milliseconds delay, std::function<void()> fn) override;
  TimePoint now() const override { return timers_.clock().now(); }
  void controllerLost() override;

  void ioctl(const Request& r);
  void cancel(uint32_t id);
  // Removes each request of `entries` that `id` names (0: every one) and completes it.
  template <class Entries>
  void completeNamed(Entries& entries, uint32_t id, uint32_t status);
  void complete(uint32_t id, uint32_t status, const uint8_t* out = nullptr, size_t n = 0);
  void pending(uint32_t id);
  void enableFtm(const Request& r);
  void leaveFtmMode(uint32_t status);
  void write(const Request& r, Channel ch);
  bool canTakeWrite(Channel ch) const;
  void takeWrite(uint32_t id, Channel ch, const uint8_t* p, size_t n);
  void takeHeldWrites();
  void queueRead(const Request& r, Channel ch);
  void selectSco(uint8_t id);
  void serve(Channel ch);
  bool serveSco(const Read& rd);
  bool trafficFlows() const { return controller_ != nullptr; }
  void startController();
  void stopController();
  void resumeController();

  DriverConfig cfg_;
  TimerQueue& timers_;
  Send send_;
  std::string tag_;
  std::unique_ptr<Controller> controller_;
  int inController_ = 0;  // calls into the controller under way
  uint32_t ftmId_ = 0;
  uint8_t scoInterface_ = 0;
  uint16_t eventSeq_ = 0;
  std::unordered_set<uint32_t> pendingIds_;
  std::deque<Read> reads_[3];
  std::deque<Bytes> queue_[3];
  std::deque<HeldWrite> held_;
  HciCounts counts_;
};

}  // namespace ftmd
