// Console control handlers fed by signals: SIGINT is Ctrl+C, SIGQUIT Ctrl+Break, SIGHUP
// the console closing and SIGTERM a shutdown.
//
// The signals are blocked in every thread (by StartConsoleControl at the program's
// start-up, so that the main thread and all threads started later inherit the mask, and
// around the start of every thread of this layer) and one signal thread takes them with
// sigwait. For each signal the registered handlers run, last registered
// first, on a new thread of their own, as Windows runs them. When no handler takes
// Ctrl+C or Ctrl+Break, and always after the handlers of a close or shutdown, the
// process ends by the signal's default action, so an unhandled signal still stops it.
//
// A program that registers a handler without that start-up gets the signal thread then.
// A forked child has no signal thread: it starts with the signals unblocked (so a
// program it executes gets them normally) and gets a signal thread again once it
// registers a handler.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/posix/internal.h"
#include "wire/locks.h"

namespace tarnexio_posix {
namespace {

Mutex g_handlerMutex;
std::vector<PHANDLER_ROUTINE>& Handlers() TARNEXIO_REQUIRES(g_handlerMutex) {
  static auto* handlers = new std::vector<PHANDLER_ROUTINE>();
  return *handlers;
}
bool g_ignoreCtrlC TARNEXIO_GUARDED_BY(g_handlerMutex) = false;
std::atomic<bool> g_signalThreadRunning{false};

void ConsoleSignals(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGQUIT);
  sigaddset(set, SIGHUP);
  sigaddset(set, SIGTERM);
}

DWORD ControlEventFor(int sig) {
  switch (sig) {
    case SIGINT:
      return CTRL_C_EVENT;
    case SIGQUIT:
      return CTRL_BREAK_EVENT;
    case SIGHUP:
      return CTRL_CLOSE_EVENT;
    default:
      return CTRL_SHUTDOWN_EVENT;
  }
}

// Ends the process as the signal's default action does.
[[noreturn]] void DieBy(int sig) {
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  _exit(128 + sig);
}

void RunHandlers(int sig) {
  DWORD event = ControlEventFor(sig);
  std::vector<PHANDLER_ROUTINE> handlers;
  bool ignored;
  {
    MutexLock lock(&g_handlerMutex);
    handlers = Handlers();
    ignored = g_ignoreCtrlC && event == CTRL_C_EVENT;
  }
  bool handled = ignored;
  for (auto it = handlers.rbegin(); it != handlers.rend() && !handled; ++it) handled = (*it)(event) != FALSE;
  if (!handled || event == CTRL_CLOSE_EVENT || event == CTRL_SHUTDOWN_EVENT) DieBy(sig);
}

void SignalLoop() {
  sigset_t set;
  ConsoleSignals(&set);
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    bool any;
    {
      MutexLock lock(&g_handlerMutex);
      any = !Handlers().empty() || (g_ignoreCtrlC && sig == SIGINT);
    }
    if (!any) DieBy(sig);
    if (!StartLayerThread([sig] { RunHandlers(sig); })) RunHandlers(sig);
  }
}

void BeforeFork();
void AfterForkInParent();
void AfterForkInChild();

void EnsureSignalThread() {
  BlockConsoleSignals();
  if (g_signalThreadRunning.exchange(true)) return;
  static std::once_flag forkHandlers;
  std::call_once(forkHandlers, [] { pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild); });
  if (!StartLayerThread(SignalLoop)) {
    // Without a thread to take them the signals must keep their default action.
    g_signalThreadRunning = false;
    sigset_t set;
    ConsoleSignals(&set);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  }
}

// The handler lock is held across a fork, so that the child's copy of it is free.
void BeforeFork() TARNEXIO_NO_THREAD_SAFETY_ANALYSIS { g_handlerMutex.lock(); }
void AfterForkInParent() TARNEXIO_NO_THREAD_SAFETY_ANALYSIS { g_handlerMutex.unlock(); }
void AfterForkInChild() TARNEXIO_NO_THREAD_SAFETY_ANALYSIS {
  g_handlerMutex.unlock();
  g_signalThreadRunning = false;
  sigset_t set;
  ConsoleSignals(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace

void BlockConsoleSignals() {
  sigset_t set;
  ConsoleSignals(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace tarnexio_posix

using namespace tarnexio_posix;

void StartConsoleControl(void) { EnsureSignalThread(); }

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  EnsureSignalThread();
  MutexLock lock(&g_handlerMutex);
  if (handler == nullptr) {
    g_ignoreCtrlC = add != FALSE;
    return TRUE;
  }
  std::vector<PHANDLER_ROUTINE>& handlers = Handlers();
  if (add) {
    handlers.push_back(handler);
    return TRUE;
  }
  for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) {
    if (*it == handler) {
      handlers.erase(std::next(it).base());
      return TRUE;
    }
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}
