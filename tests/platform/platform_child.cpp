// A small program the console and print tests start as a child process.
//
//   platform_child ctrl <secondResult> [alone]  registers two control handlers (or only
//                                       the second), says "ready" and waits (10 s at
//                                       most) for Ctrl+C or Ctrl+Break
//   platform_child nohandler            says "ready" and waits 10 s without a handler
//   platform_child print <threads> <lines>  prints long lines from many threads
//   platform_child print-wait           prints one line, then waits for its input to end
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

pthread_t g_mainThread;
HANDLE g_ctrlSeen = nullptr;
BOOL g_secondResult = FALSE;
int g_lines = 0;

const wchar_t* WhichThread() { return pthread_equal(pthread_self(), g_mainThread) ? L"main-thread" : L"own-thread"; }

BOOL WINAPI First(DWORD event) {
  print_message(L"first %u %ls\n", event, WhichThread());
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) SetEvent(g_ctrlSeen);
  return TRUE;
}

BOOL WINAPI Second(DWORD event) {
  print_message(L"second %u %ls\n", event, WhichThread());
  if (g_secondResult && (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)) SetEvent(g_ctrlSeen);
  return g_secondResult;
}

// Waits up to 10 s for the event while sleeping in an interruptible call, to show that no
// signal interrupts this thread.
int WaitForControl(HANDLE event) {
  for (int i = 0; i < 200; ++i) {
    if (poll(nullptr, 0, 50) < 0 && errno == EINTR) print_message(L"interrupted\n");
    if (event != nullptr && WaitForSingleObject(event, 0) == WAIT_OBJECT_0) {
      print_message(L"main continues\n");
      return 0;
    }
  }
  print_message(L"timeout\n");
  return 3;
}

DWORD WINAPI PrintLines(LPVOID parameter) {
  int thread = int(reinterpret_cast<intptr_t>(parameter));
  std::wstring dump;
  for (int i = 0; i < 3005; ++i) {
    wchar_t item[8];
    swprintf(item, 8, L"%02X ", (i + thread) & 0xFF);
    dump += item;
  }
  for (int line = 0; line < g_lines; ++line) print_message(L"T%02d L%03d %ls\n", thread, line, dump.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  g_mainThread = pthread_self();
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "ctrl" && (argc == 3 || argc == 4)) {
    g_secondResult = std::atoi(argv[2]) != 0 ? TRUE : FALSE;
    g_ctrlSeen = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (argc == 3) SetConsoleCtrlHandler(First, TRUE);
    SetConsoleCtrlHandler(Second, TRUE);
    print_message(L"ready\n");
    return WaitForControl(g_ctrlSeen);
  }
  if (mode == "nohandler") {
    print_message(L"ready\n");
    return WaitForControl(nullptr);
  }
  if (mode == "print" && argc == 4) {
    int threads = std::atoi(argv[2]);
    g_lines = std::atoi(argv[3]);
    std::vector<HANDLE> handles;
    for (int t = 0; t < threads; ++t) {
      handles.push_back(CreateThread(nullptr, 0, PrintLines, reinterpret_cast<LPVOID>(intptr_t(t)), 0, nullptr));
    }
    for (HANDLE h : handles) {
      if (WaitForSingleObject(h, 30000) != WAIT_OBJECT_0) return 4;
      CloseHandle(h);
    }
    return 0;
  }
  if (mode == "print-wait") {
    print_message(L"first line %ls %d\n", L"\u00e9\u4e2d", 42);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    print_message(L"bye\n");
    return 0;
  }
  return 2;
}
