// Timers of the event loop: callbacks due after a delay, grouped by owner so that an
// owner that goes away can drop all of its timers at once.
#pragma once

#include <chrono>
#include <functional>
#include <map>

namespace ftmd {

class TimerQueue {
 public:
  using Clock = std::chrono::steady_clock;

  void add(std::chrono::milliseconds delay, const void* owner, std::function<void()> fn);
  void cancel(const void* owner);
  // Milliseconds until the next timer is due (0 when one is due), or -1 with none.
  int pollTimeoutMs() const;
  // Runs every timer that is due, in the order of their deadlines.
  void runDue();
  size_t size() const { return timers_.size(); }

 private:
  struct Entry {
    const void* owner;
    std::function<void()> fn;
  };
  std::multimap<Clock::time_point, Entry> timers_;
};

}  // namespace ftmd
