/*
 * Relay between the test kernel driver and a device server.
 *
 *   relay.exe PORT NAME
 *
 * Serves the named pipe \\.\pipe\tarnexio-ftm-NAME (NAME is ZELDROVE or btftmdriver). Every
 * pipe client (the driver, once per open handle of the device) gets its own TCP connection
 * to 127.0.0.1:PORT, and the bytes are carried both ways unchanged: the driver already speaks
 * the device channel's TCP form. When either side closes, the other is closed too.
 *
 * Once the pipe is offered, the relay attaches to NAME through the driver's control device:
 * only then can the device be opened, and only as long as the relay's control handle stays
 * open (the system closes it when the relay dies). It then prints "relay ready".
 *
 * The relay holds one idle connection to the server and exits when the server closes it, so
 * it never outlives the server it serves.
 */
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define IOCTL_RELAY_ATTACH CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA01, METHOD_BUFFERED, FILE_ANY_ACCESS)

static int g_port;
static wchar_t g_pipeName[128];

typedef struct {
  HANDLE pipe;
  SOCKET sock;
} LINK;

static SOCKET ConnectServer(DWORD waitMs) {
  DWORD start = GetTickCount();
  for (;;) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((u_short)g_port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s != INVALID_SOCKET && connect(s, (struct sockaddr*)&a, sizeof a) == 0) {
      int one = 1;
      setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&one, sizeof one);
      return s;
    }
    if (s != INVALID_SOCKET) closesocket(s);
    if (GetTickCount() - start >= waitMs) return INVALID_SOCKET;
    Sleep(50);
  }
}

/* One overlapped read or write on the pipe, waited for; returns the bytes moved or -1. */
static long PipeIo(HANDLE pipe, HANDLE event, void* buf, DWORD n, BOOL write) {
  OVERLAPPED ov;
  DWORD done = 0;
  BOOL ok;
  memset(&ov, 0, sizeof ov);
  ov.hEvent = event;
  ok = write ? WriteFile(pipe, buf, n, &done, &ov) : ReadFile(pipe, buf, n, &done, &ov);
  if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(pipe, &ov, &done, TRUE);
  if (!ok) return -1;
  return (long)done;
}

/* Server to driver. */
static DWORD WINAPI ServerToPipe(LPVOID param) {
  LINK* link = param;
  HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
  char buf[65536];
  for (;;) {
    int n = recv(link->sock, buf, sizeof buf, 0);
    if (n <= 0) break;
    int sent = 0;
    while (sent < n) {
      long w = PipeIo(link->pipe, event, buf + sent, (DWORD)(n - sent), TRUE);
      if (w <= 0) goto done;
      sent += (int)w;
    }
  }
done:
  /* Ends the other direction's pipe read and tells the driver the server is gone. */
  CancelIoEx(link->pipe, NULL);
  DisconnectNamedPipe(link->pipe);
  CloseHandle(event);
  return 0;
}

/* Driver to server, on the connection's own thread. */
static DWORD WINAPI Connection(LPVOID param) {
  LINK* link = param;
  HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
  HANDLE other;
  char buf[65536];
  link->sock = ConnectServer(2000);
  if (link->sock == INVALID_SOCKET) {
    DisconnectNamedPipe(link->pipe);
    CloseHandle(link->pipe);
    CloseHandle(event);
    free(link);
    return 0;
  }
  other = CreateThread(NULL, 0, ServerToPipe, link, 0, NULL);
  for (;;) {
    long n = PipeIo(link->pipe, event, buf, sizeof buf, FALSE);
    if (n <= 0) break;
    long sent = 0;
    while (sent < n) {
      int w = send(link->sock, buf + sent, (int)(n - sent), 0);
      if (w <= 0) break;
      sent += w;
    }
    if (sent < n) break;
  }
  shutdown(link->sock, SD_BOTH);
  if (other) {
    WaitForSingleObject(other, 10000);
    CloseHandle(other);
  }
  closesocket(link->sock);
  DisconnectNamedPipe(link->pipe);
  CloseHandle(link->pipe);
  CloseHandle(event);
  free(link);
  return 0;
}

static DWORD WINAPI WatchServer(LPVOID param) {
  SOCKET s = (SOCKET)(ULONG_PTR)param;
  char b[256];
  while (recv(s, b, sizeof b, 0) > 0) {
  }
  printf("relay: server closed, exiting\n");
  fflush(stdout);
  ExitProcess(0);
  return 0;
}

static HANDLE NewInstance(BOOL first) {
  DWORD mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  return CreateNamedPipeW(g_pipeName, mode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                          PIPE_UNLIMITED_INSTANCES, 65536, 65536, 0, NULL);
}

int main(int argc, char** argv) {
  WSADATA wsa;
  SOCKET watch;
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE event;
  DWORD start;
  if (argc != 3 || atoi(argv[1]) <= 0 || atoi(argv[1]) > 65535) {
    fprintf(stderr, "usage: relay.exe PORT NAME\n");
    return 2;
  }
  g_port = atoi(argv[1]);
  _snwprintf(g_pipeName, 127, L"\\\\.\\pipe\\tarnexio-ftm-%hs", argv[2]);
  WSAStartup(MAKEWORD(2, 2), &wsa);
  watch = ConnectServer(10000);
  if (watch == INVALID_SOCKET) {
    fprintf(stderr, "relay: no device server on port %d\n", g_port);
    return 1;
  }
  /* A relay that has just been killed may still own instances for a moment. */
  start = GetTickCount();
  while ((pipe = NewInstance(TRUE)) == INVALID_HANDLE_VALUE && GetTickCount() - start < 10000) Sleep(50);
  if (pipe == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "relay: cannot create the pipe (%lu)\n", GetLastError());
    return 1;
  }
  {
    wchar_t name[64];
    DWORD n = 0;
    HANDLE control = CreateFileW(L"\\\\.\\TarnexioFtmControl", GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    int length = MultiByteToWideChar(CP_UTF8, 0, argv[2], -1, name, 64) - 1;
    if (control == INVALID_HANDLE_VALUE || length <= 0 ||
        !DeviceIoControl(control, IOCTL_RELAY_ATTACH, name, (DWORD)length * sizeof(wchar_t), NULL, 0, &n, NULL)) {
      fprintf(stderr, "relay: cannot attach to %s (%lu)\n", argv[2], GetLastError());
      return 1;
    }
    /* control stays open for the relay's lifetime */
  }
  CloseHandle(CreateThread(NULL, 0, WatchServer, (LPVOID)(ULONG_PTR)watch, 0, NULL));
  printf("relay ready\n");
  fflush(stdout);
  event = CreateEventW(NULL, TRUE, FALSE, NULL);
  for (;;) {
    OVERLAPPED ov;
    DWORD n;
    BOOL ok;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = event;
    ok = ConnectNamedPipe(pipe, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(pipe, &ov, &n, TRUE);
    if (!ok && GetLastError() == ERROR_PIPE_CONNECTED) ok = TRUE;
    if (ok) {
      LINK* link = calloc(1, sizeof *link);
      HANDLE t = NULL;
      if (link) {
        link->pipe = pipe;
        t = CreateThread(NULL, 0, Connection, link, 0, NULL);
      }
      if (t) CloseHandle(t);
      else {
        CloseHandle(pipe);
        free(link);
      }
    } else {
      CloseHandle(pipe);
    }
    while ((pipe = NewInstance(FALSE)) == INVALID_HANDLE_VALUE) Sleep(50);
  }
}
