// The FTM mode thread. With a type 1 driver the controller stays in FTM mode exactly as
// long as the enable-FTM request stays pending; its completion ends the run.
#include "app/ftm_mode.h"

#include "core/context.h"
#include "driver/ioctl.h"

DWORD WINAPI EnterFtmModeThread(LPVOID context) {
  FtmAppContext* ctx = static_cast<FtmAppContext*>(context);
  FtmModeRecord* ftmMode = &ctx->ftmMode;
  ReaderRecord* reader = &ftmMode->reader;
  print_message(L"BTFTM : EnterFtmModeThread ++\n");

  HANDLE driver = ctx->driver.hDriver.load();
  BOOL done = DeviceIoControl(driver, IOCTL_BTFTM_ENABLE_FTM, nullptr, 0, nullptr, 0, &reader->bytes, &reader->overlap);
  DWORD error = GetLastError();
  if (done) {
    print_message(L"BTFTM : EnterFtmModeThread: DeviceIoControl returns with -0x%X\n", (unsigned)error);
  } else if (error == ERROR_BAD_COMMAND) {
    print_message(L"BTFTM : EnableDrvFtm Error: BT is not in OFF state, please turn off BT then try again\n");
  } else if (error == ERROR_INVALID_PARAMETER) {
    print_message(L"BTFTM : EnableDrvFtm Error: Invalid Parameter\n");
  } else if (error == ERROR_IO_PENDING) {
    print_message(L"BTFTM : EnableDrvFtm Error: Io Pending\n");
  } else {
    print_message(L"BTFTM : EnableDrvFtm Error: Default. Error -0x%X\n", (unsigned)error);
    ReportDriverError(error);
  }

  HANDLE ftmModeEvent = ftmMode->hFtmModeEvent.load();
  if (done || error != ERROR_IO_PENDING) {
    if (ftmModeEvent != nullptr) SetEvent(ftmModeEvent);
    print_message(L"BTFTM : EnterFtmModeThread --\n");
    return 1;
  }

  // FTM mode is on: the flag goes up before the event, so main never sees one without the other.
  ftmMode->ftmModeEntered = 1;
  if (ftmModeEvent != nullptr) SetEvent(ftmModeEvent);

  if (GetOverlappedResult(driver, &reader->overlap, &reader->bytes, TRUE)) {
    print_message(L"BTFTM : FTM mode terminated by driver, exiting the FTM App...\n");
  } else {
    print_message(L"BTFTM : EnableDrvFtm Error: GetOverlappedResult default error = 0x%lX\n",
                  (unsigned long)GetLastError());
  }
  RunStopSequence(ctx, false);
  return 0;
}
