// The one header through which the bridge reaches its operating system.
//
// The bridge is written against the Windows API: kernel32 for the driver device,
// events, threads and the console, and Windows Sockets for the test host. On Windows
// this header brings in the system's own headers and adds only the calls at its end
// (print_message, the environment and plain files). On every other system it declares
// the subset of that API the bridge uses, implemented by the files of the posix backend,
// with the driver reached over the device channel (a local socket served by a device
// server such as ftmd).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winioctl.h>

#ifndef ERROR_DEVICE_REMOVED
#define ERROR_DEVICE_REMOVED 1617L
#endif

#else  // every other system: the posix backend

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#define WINAPI

typedef void* HANDLE;
typedef void* LPVOID;
typedef uint32_t DWORD;
typedef DWORD* LPDWORD;
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uintptr_t ULONG_PTR;
typedef const wchar_t* LPCWSTR;
typedef void* LPSECURITY_ATTRIBUTES;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u
#define FILE_FLAG_OVERLAPPED 0x40000000u

#define METHOD_BUFFERED 0u
#define FILE_ANY_ACCESS 0u
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DWORD)(DeviceType) << 16) | ((DWORD)(Access) << 14) | ((DWORD)(Function) << 2) | (DWORD)(Method))

// Windows error numbers used by the bridge and by the device channel.
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_BAD_COMMAND 22L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#define ERROR_NOT_FOUND 1168L
#define ERROR_DEVICE_REMOVED 1617L

// The value of OVERLAPPED::Internal while a request is in flight, as on Windows.
#define STATUS_PENDING 0x00000103u

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;      // status of the request (a Windows error number once done)
  ULONG_PTR InternalHigh;  // bytes returned
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID);
typedef BOOL (*PHANDLER_ROUTINE)(DWORD);

#define CTRL_C_EVENT 0u
#define CTRL_BREAK_EVENT 1u
#define CTRL_CLOSE_EVENT 2u
#define CTRL_LOGOFF_EVENT 5u
#define CTRL_SHUTDOWN_EVENT 6u

DWORD GetLastError(void);
void SetLastError(DWORD error);

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, size_t stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId);
BOOL CloseHandle(HANDLE object);

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped);
BOOL GetOverlappedResult(HANDLE device, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait);
BOOL CancelIoEx(HANDLE device, LPOVERLAPPED overlapped);

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

// Windows Sockets over BSD sockets: socket, bind, listen, accept, connect, recv, send,
// select, setsockopt, shutdown, getaddrinfo, htons and htonl are the system's own.
typedef int SOCKET;
#define INVALID_SOCKET (-1)
#define SOCKET_ERROR (-1)
#define SD_RECEIVE SHUT_RD
#define SD_SEND SHUT_WR
#define SD_BOTH SHUT_RDWR
#define MAKEWORD(low, high) ((WORD)(((BYTE)(low)) | (((WORD)((BYTE)(high))) << 8)))

#define WSAEINTR EINTR
#define WSAENOBUFS ENOBUFS
#define WSAECONNRESET ECONNRESET
#define WSAECONNABORTED ECONNABORTED
#define WSAENOTCONN ENOTCONN
#define WSAENOTSOCK ENOTSOCK
#define WSAESHUTDOWN ESHUTDOWN
#define WSAETIMEDOUT ETIMEDOUT
#define WSAEBADF EBADF
#define WSAECONNREFUSED ECONNREFUSED

typedef struct WSAData {
  WORD wVersion;
  WORD wHighVersion;
} WSADATA, *LPWSADATA;

int WSAStartup(WORD versionRequested, LPWSADATA data);
int WSACleanup(void);
int WSAGetLastError(void);
int closesocket(SOCKET s);

#endif  // _WIN32

// The value of an environment variable; false when it is unset or empty.
bool ReadEnvironmentVariable(const wchar_t* name, std::wstring* value);

// Creates a file for binary writing, replacing an existing one; nullptr (errno set)
// when it cannot be created.
std::FILE* CreateFileForWriting(const wchar_t* path);

// Replaces the file name in the directory dir with content, as a reader in another process
// sees it: the old content or the new one, whole (a complete temporary file in dir,
// flushed and renamed over it). Returns 0 or an errno value.
int ReplaceFileInDirectory(const wchar_t* dir, const wchar_t* name, const std::string& content);
// Reads the file name in the directory dir whole when it holds at most limit bytes.
// Returns 0, or an errno value: ENOENT when there is none, EFBIG when it is longer.
int ReadFileInDirectory(const wchar_t* dir, const wchar_t* name, size_t limit, std::string* content);

enum CaptureOpenResult {
  CAPTURE_OPENED_FILE,    // *stream is an empty file open for writing
  CAPTURE_OPENED_PIPE,    // *stream is a pipe (a FIFO, a named pipe) a reader may open
  CAPTURE_REFUSED,        // *why says what is wrong with the name's object
  CAPTURE_CANNOT_CREATE,  // errno says why
};

// Opens what a capture name points at, for this run: in a directory a new file named by
// its start time and process id; a new file for the user alone; an existing regular file
// of the user, replaced; a pipe, without waiting for a reader. Nothing is reached through a
// symbolic link and nothing of another user is written into. *path receives the name of
// the file used.
struct CaptureStream;
// With keep above 0, a directory keeps at most keep of this program's capture files of the
// user (the new one among them): the oldest are removed, as a ring buffer does.
CaptureOpenResult OpenCaptureStream(const wchar_t* name, std::wstring* path, CaptureStream** stream, std::wstring* why,
                                    unsigned keep = 0);
// A file: writes all of data and returns length, or a negative error number (and a write
// that failed part way is undone: the file ends where it ended before). A pipe:
// writes what its reader takes within timeoutMs (0 when nothing), -EPIPE once it has gone.
long WriteCaptureStream(CaptureStream* stream, const uint8_t* data, size_t length, int timeoutMs);
// A pipe: 0 once a reader is there, EAGAIN when none came within timeoutMs, or an error.
int AwaitCaptureReader(CaptureStream* stream, int timeoutMs);
// A pipe: lets its reader go, to wait for another.
void DropCaptureReader(CaptureStream* stream);
void CloseCaptureStream(CaptureStream* stream);
// Closes a capture that holds no packet: a file created for this run in a directory is
// removed again; anything else is closed as CloseCaptureStream does.
void CloseEmptyCaptureStream(CaptureStream* stream);

// Takes the console's control events from here on, called at start-up before the program
// starts a thread. On systems other than Windows the signals that stand for them (SIGINT,
// SIGQUIT, SIGHUP, SIGTERM; and SIGPIPE, which is only ignored) are blocked in the calling
// thread, so that every thread started later has them blocked too, and the signal thread
// that takes them starts. Windows sends the events by itself: nothing to do there.
void StartConsoleControl(void);

// The console log: a wide-character formatted print to standard output. Each call is
// written whole with respect to other threads and reaches standard output at once,
// also when it is a pipe or a file. On systems other than Windows the characters go
// out as UTF-8.
void print_message(const wchar_t* format, ...);

// Hints on standard error for the person at the console, each one whole line written at
// once, beside the console log (which they never change).
//
// Names the driver devices that could not be opened since the last one that could, and
// what usually mends that on this system; prints nothing when no open has failed since.
// The failures are forgotten once reported. On Windows, whose opens are the system's
// own, the last error stands for them.
void ReportDeviceOpenFailures(void);
// Says what a driver request's error means when the person at the console can act on it:
// a controller in use (ERROR_SHARING_VIOLATION) is held by another bridge. Other errors,
// and the same one again, print nothing.
void ReportDriverError(DWORD error);
// Names the TCP port that could not be bound, the address when one was asked for ("" for
// every address), and the system's reason for the error (a Windows Sockets error number
// as WSAGetLastError gives it).
void ReportBindFailure(int port, const std::string& address, int error);
// The program's name as its usage shows it in --help: how it was run (argv[0] without
// its directories) on every system but Windows, where the usage's own Tarnexio.exe is
// what is run.
std::string ProgramNameForHelp(const char* argv0);
// One hint line, "Tarnexio: " and text: what was wrong with a setting or an argument.
void ReportHint(const std::string& text);
// "error 111: Connection refused": a Windows Sockets error number, as WSAGetLastError gives
// it, with the system's text for it.
std::string SocketErrorText(int error);

// The test host's connection, while it is quiet. Keepalive: after idleSeconds in which
// nothing came, the system probes the peer every intervalSeconds, and a peer that answers
// count probes in a row no more (gone without a word: powered off, unplugged) fails the
// connection, its receive with WSAETIMEDOUT. Windows fixes count at 10. False when the
// system refused a setting.
bool SetTcpKeepAlive(SOCKET s, int idleSeconds, int intervalSeconds, int count);
// Waits until s has something for a receive (bytes, its end, an error): 1; 0 when
// timeoutMs passed first; SOCKET_ERROR when the wait failed.
int WaitReceivable(SOCKET s, int timeoutMs);
