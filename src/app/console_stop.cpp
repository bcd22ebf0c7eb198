#include "app/console_stop.h"

static std::atomic<FtmAppContext*> gConsoleStopContext{nullptr};

void SetConsoleStopContext(FtmAppContext* ctx) { gConsoleStopContext = ctx; }

BOOL WINAPI ConsoleCtrlHandler(DWORD ctrlType) {
  if (ctrlType == CTRL_C_EVENT || ctrlType == CTRL_BREAK_EVENT) {
    print_message(L"Signalling the main thread to exit..\n");
    FtmAppContext* ctx = gConsoleStopContext.load();
    if (ctx != nullptr) RunStopSequence(ctx, true);
  }
  return TRUE;
}
