// Start-up, strictly sequential on the main thread, and the final clean-up.
#include "app/startup.h"

#include "app/console_stop.h"
#include "app/ftm_mode.h"
#include "core/context.h"
#include "driver/ioctl.h"
#include "forward/forward.h"
#include "hostlink/hostlink.h"
#include "wire/version.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

// Exit codes: a command-line error; no test host served (start-up or the TCP server
// failed, or the run was stopped before one came); a test host served.
enum {
  EXIT_ARGUMENTS = -1,
  EXIT_NO_TEST_HOST = 1,
  EXIT_SERVED = 0,
  FTM_MODE_WAIT_MS = 5000,
  READER_END_WAIT_MS = 5000,
};

int ParsePortArgument(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  long long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > (long long)INT_MAX + 1) value = (long long)INT_MAX + 1;  // saturate
  }
  if (negative) return value > INT_MAX ? INT_MIN : (int)-value;
  return value > INT_MAX ? INT_MAX : (int)value;
}

static void PrintUsage() {
  std::printf("Usage:\n");
  std::printf("\tTarnexio.exe -p port -m mode\n");
  std::printf("Example:\n");
  std::printf("\tUse with Travik/Zendrel: Tarnexio.exe -p 2390 -m diag\n");
  std::printf("\tUse with Pellor:      Tarnexio.exe -p 2390 -m raw\n");
  std::fflush(stdout);
}

// Where the installed README is, named by the build (beside the program on Windows).
#ifndef TARNEXIO_README_PLACE
#define TARNEXIO_README_PLACE "README.md of the source tree"
#endif

// The answer to --version or --help as the only argument: the version, today's usage
// and what else a new user needs to get going.
static void PrintVersionAndHelp() {
  std::printf("Tarnexio %s\n", TarnexioVersion());
  PrintUsage();
  std::printf("Options:\n"
              "\t-p port     TCP port to listen on, decimal; the low 16 bits are used\n"
              "\t-m mode     diag or raw, the protocol spoken with the test host\n"
              "\t--version   as the only argument: print this text and exit\n"
              "\t--help      the same\n"
              "Modes:\n"
              "\traw   plain H4 HCI packets both ways: commands, ACL and SCO data to the controller,\n"
              "\t      events, ACL and SCO data back behind their packet type byte\n"
              "\tdiag  diag frames closed by 0x7E with a 16-bit FCS: canned replies to the diag\n"
              "\t      requests, HCI commands tunnelled in FTM requests, controller packets\n"
              "\t      returned as log packets\n"
              "One test host is served per run. More: %s, manual page Tarnexio(1).\n",
              TARNEXIO_README_PLACE);
  std::fflush(stdout);
}

static int RefuseArgument(const char* message) {
  std::printf("%s", message);
  std::fflush(stdout);
  return EXIT_ARGUMENTS;
}

static int FinalCleanUp(FtmAppContext* ctx, int exitCode) {
  CleanAllResources(ctx);
  StopCapture(&ctx->tap);
  print_message(L"BTFTM : Coming out of main loop\n");
  return exitCode;
}

// The readers of a run stopped before it served a test host end on their own once the
// stop sequence has closed the driver (the SCO gate is opened for a reader waiting on it).
// The clean-up waits for them, bounded, so that it never closes a read record's event
// while a reader still uses it.
static void AwaitReaders(FtmAppContext* ctx) {
  HANDLE gate = ctx->ScoRxStartEvent.load();
  if (gate != nullptr && gate != INVALID_HANDLE_VALUE) SetEvent(gate);
  for (const std::atomic<HANDLE>* thread : {&ctx->hEventThread, &ctx->hAclThread, &ctx->hScoThread}) {
    HANDLE h = thread->load();
    if (h != nullptr && h != INVALID_HANDLE_VALUE) WaitForSingleObject(h, READER_END_WAIT_MS);
  }
}

static HANDLE OpenDevice(const wchar_t* path) {
  return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED, nullptr);
}

static HANDLE StartThread(LPTHREAD_START_ROUTINE routine, FtmAppContext* ctx) {
  return CreateThread(nullptr, 0, routine, ctx, 0, nullptr);
}

int RunBridge(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    PrintVersionAndHelp();
    return EXIT_SERVED;
  }
  if (argc != 5 || std::strcmp(argv[1], "-p") != 0 || std::strcmp(argv[3], "-m") != 0) {
    PrintUsage();
    return EXIT_ARGUMENTS;
  }
  int port = ParsePortArgument(argv[2]);
  // A port whose low 16 bits are 0 would make the server listen on a random port.
  if ((port & 0xFFFF) == 0) return RefuseArgument("The input port number is invalid\n");
  int diagMode;
  if (std::strcmp(argv[4], "diag") == 0) {
    diagMode = 1;
  } else if (std::strcmp(argv[4], "raw") == 0) {
    diagMode = 0;
  } else {
    return RefuseArgument("The input mode is invalid\n");
  }

  const std::string version = TarnexioVersion();  // ASCII
  print_message(L"BTFTM : Tarnexio version %ls\n", std::wstring(version.begin(), version.end()).c_str());

  // The record outlives this function: reader threads may still use it while the
  // process ends.
  static FtmAppContext record;
  FtmAppContext* ctx = &record;
  ctx->diagMode = diagMode;
  SetConsoleStopContext(ctx);
  InitiateStruct(ctx, ConsoleCtrlHandler);
  StartCapture(&ctx->tap);

  print_message(L"BTFTM : opening FTM Driver handle\n");
  ctx->hDriver = OpenDevice(BTFTM_DEVICE_TYPE1);
  if (ctx->hDriver.load() != INVALID_HANDLE_VALUE) {
    ctx->drvType = DRV_TYPE_ZELDROVE;
  } else {
    ctx->hDriver = OpenDevice(BTFTM_DEVICE_TYPE2);
    if (ctx->hDriver.load() == INVALID_HANDLE_VALUE) {
      print_message(L"BTFTM : FTM Driver handle Open Failed\n");
      ReportDeviceOpenFailures();
      return FinalCleanUp(ctx, EXIT_NO_TEST_HOST);
    }
    ctx->drvType = DRV_TYPE_BTFTMDRIVER;
  }
  print_message(L"BTFTM : FTM Driver handle Open successful. DrvType = 0x%x\n", (unsigned)ctx->drvType.load());

  if (ctx->drvType == DRV_TYPE_ZELDROVE) {
    ctx->hFtmModeThread = StartThread(EnterFtmModeThread, ctx);
    WaitForSingleObject(ctx->hFtmModeEvent.load(), FTM_MODE_WAIT_MS);
    if (ctx->ftmModeEntered == 0) return FinalCleanUp(ctx, EXIT_NO_TEST_HOST);
  }

  ctx->hEventThread = StartThread(EventThread, ctx);
  if (ctx->hEventThread.load() == nullptr) {
    print_message(L"BTFTM : Fail to create Event Thread\n");
    return FinalCleanUp(ctx, EXIT_NO_TEST_HOST);
  }
  print_message(L"BTFTM : Succeed in creating Event Thread\n");

  if (ctx->drvType == DRV_TYPE_ZELDROVE) {
    ctx->hAclThread = StartThread(AclThread, ctx);
    if (ctx->hAclThread.load() == nullptr) {
      print_message(L"BTFTM : Fail to create ACL Thread\n");
      return FinalCleanUp(ctx, EXIT_NO_TEST_HOST);
    }
    print_message(L"BTFTM : Succeed in creating ACL Thread\n");
    ctx->hScoThread = StartThread(ScoThread, ctx);
    if (ctx->hScoThread.load() == nullptr) {
      print_message(L"BTFTM : Fail to create SCO Thread\n");
      return FinalCleanUp(ctx, EXIT_NO_TEST_HOST);
    }
    print_message(L"BTFTM : Succeed in creating SCO Thread\n");
  }

  const int served = ServeTestHost(ctx, port);
  if (served == HOST_SETUP_FAILED) return EXIT_NO_TEST_HOST;
  // A reader's stop sequence ran before the server listened (the driver gone, or the
  // controller in use): a failed start, with the clean-up of the others.
  if (served == HOST_STOPPED_BEFORE_HOST) {
    AwaitReaders(ctx);
    return FinalCleanUp(ctx, EXIT_NO_TEST_HOST);
  }
  // A host that sent nothing within TARNEXIO_IDLE_TIMEOUT was not served.
  if (served == HOST_SILENT) return FinalCleanUp(ctx, EXIT_NO_TEST_HOST);
  PrintRunSummary(&ctx->tap);
  return FinalCleanUp(ctx, EXIT_SERVED);
}
