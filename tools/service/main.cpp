// tarnexio-service: the Windows service Tarnexio. It does what tarnexio-loop.cmd does in a
// console: starts Tarnexio.exe -p PORT -m MODE, and again after each test host, with the
// settings of %ProgramData%\Tarnexio\tarnexio.conf, each run's console output appended to
// that day's log file there. A stop from the service manager reaches the running bridge as
// the Ctrl+C console control event, so that its stop sequence and run summary reach the log.
//
//   tarnexio-service.exe                  (started by the service manager)
//   tarnexio-service.exe --foreground     the same loop in a console, until Ctrl+C
//   tarnexio-service.exe --setup [1]      run by the installer: writes the settings file
//                                         when there is none; 1 makes the start automatic
//                                         and starts the service
//   tarnexio-service.exe --version
//
// A Windows program only: the rules it follows (settings, back-off, log days) are plain
// functions in settings.* and schedule.*, tested on every system.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "messages.h"
#include "schedule.h"
#include "settings.h"
#include "wire/version.h"

namespace {

const wchar_t kServiceName[] = L"Tarnexio";
const wchar_t kSettingsName[] = L"tarnexio.conf";
// How long the service manager is told a stop may take, and how long of it the bridge gets
// after its Ctrl+C before it is ended; the rest is for the last lines of the log.
constexpr DWORD kStopWaitHintMs = 30000;
constexpr DWORD kBridgeStopMs = 20000;

// The record of the service. The service manager's control handler and the console's
// handler take no parameter: this is the one record they reach.
struct ServiceRecord {
  std::wstring dataDir;    // %ProgramData%\Tarnexio: settings and logs
  std::wstring bridgeExe;  // Tarnexio.exe beside this program
  ServiceSettings settings;
  HANDLE stopEvent = nullptr;
  HANDLE eventSource = nullptr;
  bool foreground = false;
  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  SERVICE_STATUS status{};
};
ServiceRecord g_service;

std::wstring Widen(const std::string& text) {
  if (text.empty()) return L"";
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring wide(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), n);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return "";
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string text(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), text.data(), n, nullptr, nullptr);
  return text;
}

CivilDate Today() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return CivilDate{now.wYear, now.wMonth, now.wDay};
}

std::wstring TodaysLogPath(const ServiceRecord& service) {
  return service.dataDir + L"\\" + Widen(LogFileName(Today()));
}

// Appends one line of the service's own, with the time, to today's log (and to the console
// when in the foreground). The bridge's lines have no time; these say when each run began.
void LogLine(const ServiceRecord& service, const std::string& text) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u ", now.wYear, now.wMonth, now.wDay, now.wHour,
                now.wMinute, now.wSecond);
  // CR LF, as the bridge's own lines reach the file (its C runtime writes in text mode).
  std::string line = stamp + std::string("tarnexio-service: ") + text + "\r\n";
  HANDLE log = CreateFileW(TodaysLogPath(service).c_str(), FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(log, line.data(), DWORD(line.size()), &written, nullptr);
    CloseHandle(log);
  }
  if (service.foreground) {
    line.erase(line.size() - 2, 1);  // stdout is in text mode too
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
  }
}

// A failure: a line in the log and the same text in the Windows event log.
void ReportFailure(const ServiceRecord& service, const std::string& text) {
  LogLine(service, text);
  if (service.eventSource != nullptr) {
    std::wstring wide = Widen("tarnexio-service: " + text);
    const wchar_t* strings[] = {wide.c_str()};
    ReportEventW(service.eventSource, EVENTLOG_ERROR_TYPE, 0, MSG_SERVICE_LINE, nullptr, 1, 0, strings, nullptr);
  }
}

void ReportStatus(ServiceRecord& service, DWORD state, DWORD exitCode, DWORD waitHintMs) {
  if (service.statusHandle == nullptr) return;
  service.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  service.status.dwCurrentState = state;
  service.status.dwWin32ExitCode = exitCode;
  service.status.dwWaitHint = waitHintMs;
  service.status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  bool settled = state == SERVICE_RUNNING || state == SERVICE_STOPPED;
  service.status.dwCheckPoint = settled ? 0 : service.status.dwCheckPoint + 1;
  SetServiceStatus(service.statusHandle, &service.status);
}

// %ProgramData%\Tarnexio, asked of the shell: a service's environment may have no ProgramData.
std::wstring DataDir() {
  wchar_t base[MAX_PATH];
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base))) {
    return L"C:\\ProgramData\\Tarnexio";
  }
  return std::wstring(base) + L"\\Tarnexio";
}

std::wstring BesideThisProgram(const wchar_t* name) {
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, n);
  size_t slash = path.find_last_of(L"\\/");
  return (slash == std::wstring::npos ? L"" : path.substr(0, slash + 1)) + name;
}

bool ReadWholeFile(const std::wstring& path, std::string* text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char chunk[4096];
  DWORD got = 0;
  text->clear();
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) text->append(chunk, got);
  CloseHandle(file);
  return true;
}

// Creates the data directory and the settings file with its commented defaults, when missing;
// an existing file, the lab's own settings, is left as it is.
bool EnsureSettingsFile(const std::wstring& dataDir) {
  CreateDirectoryW(dataDir.c_str(), nullptr);
  std::wstring path = dataDir + L"\\" + kSettingsName;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_EXISTS;
  DWORD written = 0;
  bool ok = WriteFile(file, kDefaultSettingsText, DWORD(strlen(kDefaultSettingsText)), &written, nullptr);
  CloseHandle(file);
  return ok;
}

// Reads the settings file; false (each error logged) when it cannot be used.
bool LoadSettings(ServiceRecord& service) {
  std::wstring path = service.dataDir + L"\\" + kSettingsName;
  std::string text;
  if (!ReadWholeFile(path, &text)) {
    LogLine(service, "no settings file " + Narrow(path) + "; writing one with the defaults");
    EnsureSettingsFile(service.dataDir);
    text.clear();
  }
  SettingsReading reading = ParseServiceSettings(text);
  for (const std::string& error : reading.errors) ReportFailure(service, Narrow(path) + ": " + error);
  if (!reading.errors.empty()) return false;
  service.settings = reading.settings;
  return true;
}

void RemoveExpiredLogs(const ServiceRecord& service) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((service.dataDir + L"\\tarnexio-*.log").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    names.push_back(Narrow(found.cFileName));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  for (const std::string& name : ExpiredLogFiles(names, Today(), service.settings.logDays)) {
    DeleteFileW((service.dataDir + L"\\" + Widen(name)).c_str());
  }
}

// The environment block of a run: the service's own with the settings' variables.
std::wstring EnvironmentBlock(const ServiceSettings& settings) {
  std::vector<std::string> inherited;
  wchar_t* strings = GetEnvironmentStringsW();
  for (const wchar_t* at = strings; at != nullptr && *at != L'\0'; at += wcslen(at) + 1) inherited.push_back(Narrow(at));
  if (strings != nullptr) FreeEnvironmentStringsW(strings);
  std::wstring block;
  for (const std::string& entry : BridgeEnvironment(inherited, settings)) {
    block += Widen(entry);
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  return block;
}

// Starts one run of the bridge in this program's console, its output appended to today's
// log; nullptr (GetLastError tells why) when it could not be started.
HANDLE StartBridge(const ServiceRecord& service) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE log = CreateFileW(TodaysLogPath(service).c_str(), FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return nullptr;
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul;
  startup.hStdOutput = log;
  startup.hStdError = log;
  std::wstring commandLine = L"\"" + service.bridgeExe + L"\" " + Widen(BridgeArguments(service.settings));
  std::wstring environment = EnvironmentBlock(service.settings);
  PROCESS_INFORMATION process{};
  BOOL started = CreateProcessW(service.bridgeExe.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                CREATE_UNICODE_ENVIRONMENT, environment.data(), service.dataDir.c_str(), &startup,
                                &process);
  DWORD error = GetLastError();
  CloseHandle(log);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  if (!started) {
    SetLastError(error);
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

// Ends a run for a stop: Ctrl+C first, as at the bridge's own console, then, when it has not
// ended in time, the process itself. Returns the exit code.
DWORD StopBridge(const ServiceRecord& service, HANDLE bridge) {
  // In the foreground the user's Ctrl+C has reached every program of the console already.
  LogLine(service, "stopping: Ctrl+C to the bridge");
  if (!service.foreground && !GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
    LogLine(service, "the console control event could not be sent (error " + std::to_string(GetLastError()) + ")");
  }
  if (WaitForSingleObject(bridge, kBridgeStopMs) != WAIT_OBJECT_0) {
    ReportFailure(service, "the bridge did not end within " + std::to_string(kBridgeStopMs / 1000) +
                               " s of Ctrl+C; ending it");
    TerminateProcess(bridge, 1);
    WaitForSingleObject(bridge, 5000);
  }
  DWORD code = 1;
  GetExitCodeProcess(bridge, &code);
  return code;
}

// The loop: a run of the bridge after another until the stop event. A run that served a test
// host (exit code 0) is followed at once by the next; a failed one (driver missing, port in
// use) by a wait that grows with each failure in a row.
void RunLoop(ServiceRecord& service) {
  LogLine(service, std::string("version ") + TarnexioVersion() + "; serving test hosts on port " +
                       std::to_string(service.settings.port) + " (" + service.settings.mode +
                       " mode), one per run of " + Narrow(service.bridgeExe));
  // As tarnexio-loop.cmd does: the directories named are made when missing (one level).
  for (const std::string& dir : {service.settings.captureDir, service.settings.metricsDir}) {
    if (!dir.empty()) CreateDirectoryW(Widen(dir).c_str(), nullptr);
  }
  int failures = 0;
  for (;;) {
    RemoveExpiredLogs(service);
    HANDLE bridge = StartBridge(service);
    DWORD code = 0;
    if (bridge == nullptr) {
      code = GetLastError();
      ++failures;
      int delay = RetryDelaySeconds(failures);
      ReportFailure(service, Narrow(service.bridgeExe) + " could not be started (error " + std::to_string(code) +
                                 "; failure " + std::to_string(failures) + " in a row); trying again in " +
                                 std::to_string(delay) + " s");
      if (WaitForSingleObject(service.stopEvent, DWORD(delay) * 1000) == WAIT_OBJECT_0) break;
      continue;
    }
    HANDLE waits[] = {bridge, service.stopEvent};
    DWORD which = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (which != WAIT_OBJECT_0) {
      code = StopBridge(service, bridge);
      CloseHandle(bridge);
      LogLine(service, "the bridge ended with exit code " + std::to_string(code) + "; the service stops");
      return;
    }
    GetExitCodeProcess(bridge, &code);
    CloseHandle(bridge);
    if (code == 0) {
      failures = 0;
      LogLine(service, "the test host is gone; starting the bridge again for the next one");
      continue;
    }
    ++failures;
    int delay = RetryDelaySeconds(failures);
    ReportFailure(service, "the bridge ended with exit code " + std::to_string(int(code)) + " (failure " +
                               std::to_string(failures) + " in a row); starting it again in " +
                               std::to_string(delay) + " s");
    if (WaitForSingleObject(service.stopEvent, DWORD(delay) * 1000) == WAIT_OBJECT_0) break;
  }
  LogLine(service, "stopped");
}

// This program's own console handler. The Ctrl+C it sends for a stop reaches it too, and is
// taken as done; in the foreground, the user's Ctrl+C (which the bridge gets as well) stops.
// Every event is taken as handled: a service with a console also gets the log-off of any
// user, which would otherwise end it; the service manager says when the system shuts down.
BOOL WINAPI ConsoleControl(DWORD control) {
  bool interrupt = control == CTRL_C_EVENT || control == CTRL_BREAK_EVENT;
  if (interrupt && g_service.foreground && g_service.stopEvent != nullptr) SetEvent(g_service.stopEvent);
  return TRUE;
}

DWORD WINAPI ServiceControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      ReportStatus(g_service, SERVICE_STOP_PENDING, NO_ERROR, kStopWaitHintMs);
      SetEvent(g_service.stopEvent);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  ServiceRecord& service = g_service;
  service.statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, ServiceControl, nullptr);
  if (service.statusHandle == nullptr) return;
  ReportStatus(service, SERVICE_START_PENDING, NO_ERROR, 10000);
  // A console of its own, shared with each run of the bridge: the one the stop's Ctrl+C
  // goes to. It is never shown.
  if (AllocConsole()) {
    HWND window = GetConsoleWindow();
    if (window != nullptr) ShowWindow(window, SW_HIDE);
  }
  SetConsoleCtrlHandler(ConsoleControl, TRUE);
  if (!LoadSettings(service)) {
    ReportStatus(service, SERVICE_STOPPED, ERROR_BAD_CONFIGURATION, 0);
    return;
  }
  ReportStatus(service, SERVICE_RUNNING, NO_ERROR, 0);
  RunLoop(service);
  ReportStatus(service, SERVICE_STOPPED, NO_ERROR, 0);
}

// Run by the installer once the service is registered. The program's path is set again in
// quotes: it lies under "Program Files", and an unquoted path with a space is taken by the
// service manager as a program "C:\Program" with arguments (Wine's installer writes it so).
int Setup(const wchar_t* autostart) {
  if (!EnsureSettingsFile(g_service.dataDir)) {
    std::fprintf(stderr, "tarnexio-service: cannot write the settings file in %s\n", Narrow(g_service.dataDir).c_str());
    return 1;
  }
  bool automatic = autostart != nullptr && wcscmp(autostart, L"1") == 0;
  std::wstring quoted = L"\"" + BesideThisProgram(L"tarnexio-service.exe") + L"\"";
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE handle =
      manager == nullptr ? nullptr : OpenServiceW(manager, kServiceName, SERVICE_CHANGE_CONFIG | SERVICE_START);
  bool changed = handle != nullptr &&
                 ChangeServiceConfigW(handle, SERVICE_NO_CHANGE, automatic ? SERVICE_AUTO_START : SERVICE_NO_CHANGE,
                                      SERVICE_NO_CHANGE, quoted.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr);
  if (!changed) std::fprintf(stderr, "tarnexio-service: cannot set up the service Tarnexio (%lu)\n", GetLastError());
  // With AUTOSTART=1 started now too, as it will be at each boot; a bench without its driver
  // yet is no failure of the install (the service retries), so neither is a start that fails.
  if (changed && automatic && !StartServiceW(handle, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
    std::fprintf(stderr, "tarnexio-service: the service did not start (%lu)\n", GetLastError());
  }
  if (handle != nullptr) CloseServiceHandle(handle);
  if (manager != nullptr) CloseServiceHandle(manager);
  return changed ? 0 : 1;
}

const char kUsage[] =
    "Usage:\n"
    "\ttarnexio-service.exe                 (run by the service manager as service Tarnexio)\n"
    "\ttarnexio-service.exe --foreground    the service's loop in this console, until Ctrl+C\n"
    "\ttarnexio-service.exe --setup [1]     write the settings file when missing; 1: start automatically\n"
    "\ttarnexio-service.exe --version\n";

}  // namespace

int wmain(int argc, wchar_t** argv) {
  ServiceRecord& service = g_service;
  service.dataDir = DataDir();
  service.bridgeExe = BesideThisProgram(L"Tarnexio.exe");
  std::wstring option = argc > 1 ? argv[1] : L"";
  if (option == L"--version" && argc == 2) {
    std::printf("tarnexio-service %s\n", TarnexioVersion());
    return 0;
  }
  if (option == L"--setup" && argc <= 3) return Setup(argc == 3 ? argv[2] : nullptr);
  service.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  service.eventSource = RegisterEventSourceW(nullptr, kServiceName);
  if (option == L"--foreground" && argc == 2) {
    service.foreground = true;
    SetConsoleCtrlHandler(ConsoleControl, TRUE);
    CreateDirectoryW(service.dataDir.c_str(), nullptr);
    if (!LoadSettings(service)) return 1;
    RunLoop(service);
    return 0;
  }
  if (argc > 1) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kServiceName), ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) std::fputs(kUsage, stderr);
    return 1;
  }
  return 0;
}
