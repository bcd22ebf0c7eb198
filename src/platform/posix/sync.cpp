// Last error, events, threads, waits and CloseHandle.
//
// A wait holds its own reference to the object, so closing the handle while another
// thread waits on it is safe: the waiter keeps waiting on the still-alive object and
// returns when it is signalled or its time runs out, as a wait that already started
// does on Windows.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <system_error>
#include <thread>

#include "platform/posix/internal.h"
#include "wire/locks.h"

namespace tarnexio_posix {
namespace {

thread_local DWORD t_lastError = 0;

// An object that a wait is satisfied by once it is signalled. A manual-reset one stays
// signalled until reset; an auto-reset one releases a single wait and resets itself.
class SignalledObject : public KernelObject {
 public:
  SignalledObject(bool manualReset, bool initialState) : manualReset_(manualReset), signalled_(initialState) {}

  DWORD Wait(DWORD milliseconds) override {
    MutexLock lock(&mutex_);
    if (milliseconds == INFINITE) {
      while (!signalled_) signalledNow_.wait(mutex_);
    } else {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
      while (!signalled_) {
        if (!signalledNow_.wait_until(mutex_, deadline) && !signalled_) return WAIT_TIMEOUT;
      }
    }
    if (!manualReset_) signalled_ = false;
    return WAIT_OBJECT_0;
  }
  void Set() {
    MutexLock lock(&mutex_);
    signalled_ = true;
    if (manualReset_) {
      signalledNow_.notify_all();
    } else {
      signalledNow_.notify_one();
    }
  }
  void Reset() {
    MutexLock lock(&mutex_);
    signalled_ = false;
  }

 private:
  Mutex mutex_;
  MutexCondition signalledNow_;  // notified under mutex_ when signalled_ becomes true
  const bool manualReset_;
  bool signalled_ TARNEXIO_GUARDED_BY(mutex_);
};

class EventObject : public SignalledObject {
 public:
  using SignalledObject::SignalledObject;
};

// A thread handle is signalled once its routine has returned; SetEvent and ResetEvent
// do not take it.
class ThreadObject : public SignalledObject {
 public:
  ThreadObject() : SignalledObject(true, false) {}
};

}  // namespace

void SignalEventObject(const std::shared_ptr<KernelObject>& event) {
  if (auto e = std::dynamic_pointer_cast<EventObject>(event)) e->Set();
}

void ResetEventObject(const std::shared_ptr<KernelObject>& event) {
  if (auto e = std::dynamic_pointer_cast<EventObject>(event)) e->Reset();
}

bool StartLayerThread(std::function<void()> body) {
  // The new thread inherits the creator's signal mask; block the console signals in the
  // creator just around the start so the thread has them blocked from its beginning.
  sigset_t previous;
  pthread_sigmask(SIG_SETMASK, nullptr, &previous);
  BlockConsoleSignals();
  bool started = true;
  try {
    std::thread(std::move(body)).detach();
  } catch (const std::system_error&) {
    started = false;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!started) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return started;
}

}  // namespace tarnexio_posix

using namespace tarnexio_posix;

DWORD GetLastError(void) { return t_lastError; }

void SetLastError(DWORD error) { t_lastError = error; }

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR) {
  return AddHandle(std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE));
}

namespace {

// Sets or resets the event behind a handle; FALSE with ERROR_INVALID_HANDLE when the
// handle names no event.
BOOL SignalEvent(HANDLE event, bool signalled) {
  auto e = FindHandleOf<EventObject>(event);
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (signalled) {
    e->Set();
  } else {
    e->Reset();
  }
  return TRUE;
}

}  // namespace

BOOL SetEvent(HANDLE event) { return SignalEvent(event, true); }

BOOL ResetEvent(HANDLE event) { return SignalEvent(event, false); }

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  auto o = FindHandle(object);
  if (!o) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return o->Wait(milliseconds);
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD,
                    LPDWORD threadId) {
  if (start == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  static std::atomic<DWORD> nextId{1};
  const DWORD id = nextId++;
  if (threadId != nullptr) *threadId = id;
  auto thread = std::make_shared<ThreadObject>();
  if (!StartLayerThread([thread, start, parameter] {
        start(parameter);
        thread->Set();
      })) {
    return nullptr;
  }
  return AddHandle(thread);
}

BOOL CloseHandle(HANDLE object) {
  if (auto closing = FindHandle(object)) closing->OnClosing();
  auto o = RemoveHandle(object);
  if (!o) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  o->OnClose();
  return TRUE;
}
