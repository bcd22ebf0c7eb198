// The bridge's locks, in a form clang's thread-safety analysis (-Wthread-safety) checks:
// a field marked TARNEXIO_GUARDED_BY(lock) is touched only with lock held, a function
// marked TARNEXIO_REQUIRES(lock) is called only with it held, and locks marked
// TARNEXIO_ACQUIRED_BEFORE are taken in that order. Other compilers (g++, mingw-w64) see
// plain mutexes: the marks expand to nothing there. Header only, shared by every layer,
// so it lives at the bottom with the formats.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define TARNEXIO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TARNEXIO_THREAD_ANNOTATION(x)
#endif

#define TARNEXIO_CAPABILITY(name) TARNEXIO_THREAD_ANNOTATION(capability(name))
#define TARNEXIO_SCOPED_CAPABILITY TARNEXIO_THREAD_ANNOTATION(scoped_lockable)
#define TARNEXIO_GUARDED_BY(lock) TARNEXIO_THREAD_ANNOTATION(guarded_by(lock))
#define TARNEXIO_PT_GUARDED_BY(lock) TARNEXIO_THREAD_ANNOTATION(pt_guarded_by(lock))
#define TARNEXIO_ACQUIRED_BEFORE(...) TARNEXIO_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define TARNEXIO_REQUIRES(...) TARNEXIO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define TARNEXIO_EXCLUDES(...) TARNEXIO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define TARNEXIO_ACQUIRE(...) TARNEXIO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define TARNEXIO_RELEASE(...) TARNEXIO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TARNEXIO_RETURN_CAPABILITY(x) TARNEXIO_THREAD_ANNOTATION(lock_returned(x))
// For the few reads the lock map allows without the lock; each one says why.
#define TARNEXIO_NO_THREAD_SAFETY_ANALYSIS TARNEXIO_THREAD_ANNOTATION(no_thread_safety_analysis)

class MutexCondition;

// A mutex the analysis knows. lock() and unlock() keep the standard names (a MutexLock,
// or a function that lets the lock go for a while inside a TARNEXIO_REQUIRES, calls them).
class TARNEXIO_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() TARNEXIO_ACQUIRE() { mutex_.lock(); }
  void unlock() TARNEXIO_RELEASE() { mutex_.unlock(); }

 private:
  friend class MutexCondition;  // waits on the standard mutex itself
  std::mutex mutex_;
};

// Holds a Mutex for a scope; Unlock and Lock let it go for a while inside the scope.
class TARNEXIO_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) TARNEXIO_ACQUIRE(mutex) : mutex_(mutex) { mutex_->lock(); }
  ~MutexLock() TARNEXIO_RELEASE() {
    if (held_) mutex_->unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Unlock() TARNEXIO_RELEASE() {
    held_ = false;
    mutex_->unlock();
  }
  void Lock() TARNEXIO_ACQUIRE() {
    mutex_->lock();
    held_ = true;
  }

 private:
  Mutex* mutex_;
  bool held_ = true;
};

// Waits on a condition with a Mutex held (by a MutexLock of the caller, or by a function
// marked TARNEXIO_REQUIRES): the wait lets it go and takes it again before it returns, as
// the analysis assumes of a call that keeps it. A standard condition variable on the
// Mutex's own std::mutex, not std::condition_variable_any, which allocates a mutex of its
// own for every condition and takes it around every wait and wake: the device channel
// makes one condition per driver request. The names are the standard ones. A waiter
// writes its test as a loop in its own body (`while (!ready) condition.wait(mutex);`),
// where the analysis sees that it holds the lock, rather than as a predicate (a lambda,
// which the analysis checks as a function of its own that holds nothing).
class MutexCondition {
 public:
  MutexCondition() = default;
  MutexCondition(const MutexCondition&) = delete;
  MutexCondition& operator=(const MutexCondition&) = delete;

  void wait(Mutex& mutex) TARNEXIO_REQUIRES(mutex) {
    std::unique_lock<std::mutex> held(mutex.mutex_, std::adopt_lock);
    condition_.wait(held);
    held.release();  // still held, by the caller
  }
  // False when the deadline passed first (the caller tests its condition either way).
  template <typename Clock, typename Duration>
  bool wait_until(Mutex& mutex, const std::chrono::time_point<Clock, Duration>& deadline) TARNEXIO_REQUIRES(mutex) {
    std::unique_lock<std::mutex> held(mutex.mutex_, std::adopt_lock);
    const bool woken = condition_.wait_until(held, deadline) == std::cv_status::no_timeout;
    held.release();
    return woken;
  }
  void notify_one() { condition_.notify_one(); }
  void notify_all() { condition_.notify_all(); }

 private:
  std::condition_variable condition_;
};
