#include "timers.h"

namespace ftmd {

void TimerQueue::add(std::chrono::milliseconds delay, const void* owner, std::function<void()> fn) {
  timers_.emplace(clock_.now() + delay, Entry{owner, std::move(fn)});
}

void TimerQueue::cancel(const void* owner) {
  for (auto it = timers_.begin(); it != timers_.end();) {
    if (it->second.owner == owner)
      it = timers_.erase(it);
    else
      ++it;
  }
}

int TimerQueue::pollTimeoutMs() const {
  if (timers_.empty()) return -1;
  auto left = timers_.begin()->first - clock_.now();
  if (left <= TimePoint::duration::zero()) return 0;
  // Round up so that the loop does not wake just before the deadline and spin.
  return int(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()) + 1;
}

void TimerQueue::runDue() {
  const auto now = clock_.now();
  while (!timers_.empty() && timers_.begin()->first <= now) {
    auto fn = std::move(timers_.begin()->second.fn);
    timers_.erase(timers_.begin());
    fn();  // may add or cancel timers
  }
}

}  // namespace ftmd
