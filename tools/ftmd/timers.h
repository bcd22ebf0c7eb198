// Timers of the event loop: callbacks due after a delay, grouped by owner so that an
// owner that goes away can drop all of its timers at once. The queue reads the time from
// the clock it is given: the event loop gives the steady clock, tests and fuzzers a
// manual one.
#pragma once

#include <chrono>
#include <functional>
#include <map>

namespace ftmd {

using TimePoint = std::chrono::steady_clock::time_point;

class Clock {
 public:
  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;
};

class SteadyClock final : public Clock {
 public:
  TimePoint now() const override { return std::chrono::steady_clock::now(); }
};

// A clock that moves only when told to.
class ManualClock final : public Clock {
 public:
  TimePoint now() const override { return now_; }
  void advance(std::chrono::milliseconds by) { now_ += by; }

 private:
  TimePoint now_{};
};

class TimerQueue {
 public:
  explicit TimerQueue(const Clock& clock) : clock_(clock) {}
  TimerQueue(const TimerQueue&) = delete;
  TimerQueue& operator=(const TimerQueue&) = delete;

  void add(std::chrono::milliseconds delay, const void* owner, std::function<void()> fn);
  void cancel(const void* owner);
  // Milliseconds until the next timer is due (0 when one is due), or -1 with none.
  int pollTimeoutMs() const;
  // Runs every timer that is due, in the order of their deadlines.
  void runDue();
  size_t size() const { return timers_.size(); }
  const Clock& clock() const { return clock_; }

 private:
  struct Entry {
    const void* owner;
    std::function<void()> fn;
  };
  const Clock& clock_;
  std::multimap<TimePoint, Entry> timers_;
};

}  // namespace ftmd
