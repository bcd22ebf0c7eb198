#include "app/console_stop.h"

static std::atomic<FtmAppContext*> g_consoleStopContext{nullptr};

void SetConsoleStopContext(FtmAppContext* ctx) { g_consoleStopContext = ctx; }

BOOL WINAPI ConsoleCtrlHandler(DWORD ctrlType) {
  if (ctrlType == CTRL_C_EVENT || ctrlType == CTRL_BREAK_EVENT) {
    print_message(L"Signalling the main thread to exit..\n");
    FtmAppContext* ctx = g_consoleStopContext.load();
    if (ctx != nullptr) RunStopSequence(ctx, true);
  }
  return TRUE;
}
