// Start-up, strictly sequential on the main thread, and the final clean-up.
#include "app/startup.h"

#include "app/console_stop.h"
#include "app/ftm_mode.h"
#include "core/context.h"
#include "driver/ioctl.h"
#include "forward/forward.h"
#include "hostlink/hostlink.h"
#include "metrics/bridge_metrics.h"
#include "wire/net_address.h"
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

// The usage, naming the program as given: "Tarnexio.exe" after a wrong command line.
static void PrintUsage(const std::string& program) {
  const char* name = program.c_str();
  std::printf("Usage:\n");
  std::printf("\t%s -p port -m mode\n", name);
  std::printf("Example:\n");
  std::printf("\tUse with Travik/Zendrel: %s -p 2390 -m diag\n", name);
  std::printf("\tUse with Pellor:      %s -p 2390 -m raw\n", name);
  std::fflush(stdout);
}

std::string WrongArgumentsReason(int argc, const char* const* argv) {
  const auto is = [&](int i, const char* text) { return i < argc && std::strcmp(argv[i], text) == 0; };
  const auto quoted = [](const char* text) { return "'" + std::string(text) + "'"; };
  if (argc <= 1) return "no arguments: give -p port -m mode, such as -p 2390 -m raw";
  if (is(1, "-m") && is(3, "-p")) return "the arguments are swapped: -p port comes first, then -m mode";
  for (int i = 1; i < argc; i += 2) {
    const bool port = is(i, "-p"), mode = is(i, "-m");
    if (!port && !mode) {
      if (i >= 5) return "extra argument " + quoted(argv[i]) + " after -p port -m mode";
      return "unexpected argument " + quoted(argv[i]) + " where " + (i == 1 ? "-p" : "-m") + " was expected";
    }
    if (i + 1 >= argc || is(i + 1, "-p") || is(i + 1, "-m"))
      return std::string(port ? "-p needs a port" : "-m needs a mode") + " after it";
  }
  if (argc < 5) return is(1, "-p") ? "-m mode is missing" : "-p port is missing";
  return "the arguments are -p port -m mode, exactly these four, in this order";
}

// Where the installed README is, named by the build (beside the program on Windows).
#ifndef TARNEXIO_README_PLACE
#define TARNEXIO_README_PLACE "README.md of the source tree"
#endif

// The answer to --version or --help as the only argument: the version, today's usage
// and what else a new user needs to get going.
static void PrintVersionAndHelp(const std::string& program) {
  std::printf("Tarnexio %s\n", TarnexioVersion());
  PrintUsage(program);
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
              "Environment:\n"
              "\tTARNEXIO_LISTEN=ADDRESS            the one address to listen on, IPv4 or IPv6\n"
              "\t                                   (default: every local IPv4 address)\n"
              "\tTARNEXIO_ALLOW=PREFIX[,PREFIX...]  the test hosts served, as CIDR prefixes such as\n"
              "\t                                   192.168.1.0/24,::1/128 (default: every address)\n"
              "One test host is served per run. More: %s, manual page Tarnexio(1).\n",
              TARNEXIO_README_PLACE);
  std::fflush(stdout);
}

static int RefuseArgument(const char* message, const std::string& hint) {
  std::printf("%s", message);
  std::fflush(stdout);
  ReportHint(hint);
  return EXIT_ARGUMENTS;
}

// The run's metrics (TARNEXIO_METRICS_DIR) hear of the test host.
static void NoteHostConnected(FtmAppContext* ctx, void* metrics) {
  WriteHostConnected(static_cast<BridgeMetrics*>(metrics), &ctx->tap);
}

// Why a start-up whose TCP server failed served no test host.
static RunOutcome HostSetUpOutcome(const FtmAppContext* ctx) {
  if (ctx->exitFlag.load() == 1) return RUN_STOPPED_BEFORE_HOST;
  return ctx->portRefused.load() ? RUN_PORT_IN_USE : RUN_SETUP_FAILED;
}

// The text of an environment variable, each character outside printable ASCII as '?'
// (no address has one); *set tells whether it is set and not empty.
static std::string AsciiSetting(const wchar_t* name, bool* set) {
  std::wstring value;
  *set = ReadEnvironmentVariable(name, &value);
  std::string ascii;
  for (wchar_t c : value) ascii += (c >= 0x20 && c <= 0x7E) ? char(c) : '?';
  return ascii;
}

// TARNEXIO_LISTEN and TARNEXIO_ALLOW into the record. False, after one line that says
// what is wrong, when either is set but cannot be used.
static bool ReadHostAccess(FtmAppContext* ctx) {
  bool set = false;
  const std::string listen = AsciiSetting(L"TARNEXIO_LISTEN", &set);
  if (set && !ParseNetAddress(listen, &ctx->listenAddress)) {
    ReportHint("TARNEXIO_LISTEN=" + listen +
               " is not an IPv4 or IPv6 address (such as 127.0.0.1 or ::1); unset it to listen on every address");
    return false;
  }
  const std::string allow = AsciiSetting(L"TARNEXIO_ALLOW", &set);
  std::string why;
  if (set && !ParseNetPrefixList(allow, &ctx->allowedHosts, &why)) {
    ReportHint("TARNEXIO_ALLOW=" + allow + " cannot be used: " + why +
               "; it takes ADDRESS/LENGTH prefixes separated by commas, such as 192.168.1.0/24,::1/128");
    return false;
  }
  return true;
}

static int FinalCleanUp(FtmAppContext* ctx, int exitCode) {
  CleanAllResources(ctx);
  StopCapture(&ctx->tap);
  print_message(L"BTFTM : Coming out of main loop\n");
  return exitCode;
}

// A start-up that failed for outcome: counted in the run's metrics (the record the host
// link would have told of the test host), then the final clean-up.
static int FailedStart(FtmAppContext* ctx, RunOutcome outcome, int exitCode) {
  WriteRunEnd(static_cast<BridgeMetrics*>(ctx->hostConnectedArg), &ctx->tap, outcome);
  return FinalCleanUp(ctx, exitCode);
}

static HANDLE OpenDevice(const wchar_t* path) {
  return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED, nullptr);
}

static HANDLE StartThread(LPTHREAD_START_ROUTINE routine, FtmAppContext* ctx) {
  return CreateThread(nullptr, 0, routine, ctx, 0, nullptr);
}

int RunBridge(int argc, char** argv) {
  // Before any thread starts, so that every thread of the run leaves Ctrl+C and the other
  // control events to the signal thread.
  StartConsoleControl();
  if (argc == 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    PrintVersionAndHelp(ProgramNameForHelp(argv[0]));
    return EXIT_SERVED;
  }
  // The usage and the two refusals keep their words; a hint on standard error adds why.
  if (argc != 5 || std::strcmp(argv[1], "-p") != 0 || std::strcmp(argv[3], "-m") != 0) {
    PrintUsage("Tarnexio.exe");
    ReportHint(WrongArgumentsReason(argc, argv));
    return EXIT_ARGUMENTS;
  }
  int port = ParsePortArgument(argv[2]);
  // A port whose low 16 bits are 0 would make the server listen on a random port.
  if ((port & 0xFFFF) == 0) {
    return RefuseArgument("The input port number is invalid\n",
                          "the port is a decimal number whose low 16 bits are not all 0, such as 2390");
  }
  int diagMode;
  if (std::strcmp(argv[4], "diag") == 0) {
    diagMode = 1;
  } else if (std::strcmp(argv[4], "raw") == 0) {
    diagMode = 0;
  } else {
    return RefuseArgument("The input mode is invalid\n", "the modes are diag and raw, in lower case");
  }

  const std::string version = TarnexioVersion();  // ASCII
  print_message(L"BTFTM : Tarnexio version %ls\n", std::wstring(version.begin(), version.end()).c_str());

  // The record outlives this function: reader threads may still use it while the
  // process ends.
  static FtmAppContext record;
  FtmAppContext* ctx = &record;
  // Settings that cannot be used end the run as a TCP server that cannot be set up does,
  // before the driver is touched.
  if (!ReadHostAccess(ctx)) return EXIT_NO_TEST_HOST;
  ctx->diagMode = diagMode;
  // The run's metrics (TARNEXIO_METRICS_DIR), written when the test host connects and
  // when the run ends.
  static BridgeMetrics metrics;
  StartBridgeMetrics(&metrics, port, argv[4]);
  ctx->hostConnected = NoteHostConnected;
  ctx->hostConnectedArg = &metrics;
  SetConsoleStopContext(ctx);
  InitiateStruct(ctx, ConsoleCtrlHandler);
  StartCapture(&ctx->tap);

  print_message(L"BTFTM : opening FTM Driver handle\n");
  DriverRecord* driver = &ctx->driver;
  driver->hDriver = OpenDevice(wire::kType1DevicePath);
  if (driver->hDriver.load() != INVALID_HANDLE_VALUE) {
    driver->drvType = DRV_TYPE_ZELDROVE;
  } else {
    driver->hDriver = OpenDevice(wire::kType2DevicePath);
    if (driver->hDriver.load() == INVALID_HANDLE_VALUE) {
      print_message(L"BTFTM : FTM Driver handle Open Failed\n");
      ReportDeviceOpenFailures();
      return FailedStart(ctx, RUN_NO_DRIVER, EXIT_NO_TEST_HOST);
    }
    driver->drvType = DRV_TYPE_BTFTMDRIVER;
  }
  print_message(L"BTFTM : FTM Driver handle Open successful. DrvType = 0x%x\n", (unsigned)driver->drvType.load());

  if (driver->drvType == DRV_TYPE_ZELDROVE) {
    ctx->ftmMode.reader.thread = StartThread(EnterFtmModeThread, ctx);
    WaitForSingleObject(ctx->ftmMode.hFtmModeEvent.load(), FTM_MODE_WAIT_MS);
    if (ctx->ftmMode.ftmModeEntered == 0) return FailedStart(ctx, RUN_FTM_REFUSED, EXIT_NO_TEST_HOST);
  }

  ctx->eventReader.thread = StartThread(EventThread, ctx);
  if (ctx->eventReader.thread.load() == nullptr) {
    print_message(L"BTFTM : Fail to create Event Thread\n");
    return FailedStart(ctx, RUN_SETUP_FAILED, EXIT_NO_TEST_HOST);
  }
  print_message(L"BTFTM : Succeed in creating Event Thread\n");

  if (driver->drvType == DRV_TYPE_ZELDROVE) {
    ctx->aclReader.thread = StartThread(AclThread, ctx);
    if (ctx->aclReader.thread.load() == nullptr) {
      print_message(L"BTFTM : Fail to create ACL Thread\n");
      return FailedStart(ctx, RUN_SETUP_FAILED, EXIT_NO_TEST_HOST);
    }
    print_message(L"BTFTM : Succeed in creating ACL Thread\n");
    ctx->scoReader.thread = StartThread(ScoThread, ctx);
    if (ctx->scoReader.thread.load() == nullptr) {
      print_message(L"BTFTM : Fail to create SCO Thread\n");
      return FailedStart(ctx, RUN_SETUP_FAILED, EXIT_NO_TEST_HOST);
    }
    print_message(L"BTFTM : Succeed in creating SCO Thread\n");
  }

  const int served = ServeTestHost(ctx, port);
  if (served == HOST_SETUP_FAILED) {
    // A stop (Ctrl+C, the driver gone) made accept fail: no clean-up, as for any failed
    // server, but the readers the stop ends are let finish first, so that their lines are
    // not lost and none of them runs on while the process ends.
    if (ctx->exitFlag.load() == 1) AwaitReaders(ctx);
    WriteRunEnd(&metrics, &ctx->tap, HostSetUpOutcome(ctx));
    return EXIT_NO_TEST_HOST;
  }
  // A reader's stop sequence ran before the server listened (the driver gone, or the
  // controller in use): a failed start, with the clean-up of the others.
  if (served == HOST_STOPPED_BEFORE_HOST) {
    AwaitReaders(ctx);
    return FailedStart(ctx, RUN_STOPPED_BEFORE_HOST, EXIT_NO_TEST_HOST);
  }
  // A host that sent nothing within TARNEXIO_IDLE_TIMEOUT was not served.
  if (served == HOST_SILENT) return FinalCleanUp(ctx, EXIT_NO_TEST_HOST);
  PrintRunSummary(&ctx->tap);
  WriteRunEnd(&metrics, &ctx->tap, RUN_SERVED);
  return FinalCleanUp(ctx, EXIT_SERVED);
}
