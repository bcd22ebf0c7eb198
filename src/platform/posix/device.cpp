// Driver devices over the device channel: the calls the bridge makes on them. The
// device object and its parts are described in device_object.h.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/device_object.h"
#include "platform/posix/trusted_dir.h"

using namespace tarnexio_posix;

HANDLE CreateFileW(LPCWSTR fileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  const std::string name = DeviceName(fileName);
  const std::string dir = DeviceDir();
  const std::string path = dir + "/" + name;
  // errno says why an open failed; 0 when the reason has been reported already (a device
  // directory or a server that is not trusted) or there is nothing to name.
  int fd = -1;
  errno = 0;
  if (!name.empty() && path.size() >= sizeof(sockaddr_un::sun_path))
    errno = ENAMETOOLONG;
  else if (!name.empty()) {
    const int dirFd = OpenDeviceDir(dir);
    if (dirFd >= 0) {
      fd = ConnectDevice(path, PathThroughDescriptor(dirFd, name));
      const int error = errno;
      close(dirFd);
      errno = error;
    }
  }
  if (fd < 0) {
    if (errno != 0) NoteDeviceOpenFailure(path, errno);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  int epollFd = epoll_create1(EPOLL_CLOEXEC);
  struct epoll_event event = {};
  event.events = EPOLLIN | EPOLLRDHUP;
  event.data.ptr = nullptr;  // the connection itself
  if (epollFd < 0 || epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) != 0) {
    if (epollFd >= 0) close(epollFd);
    close(fd);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  auto device = std::make_shared<DeviceObject>(fd, epollFd, path);
  if (!StartLayerThread([device] { device->Receive(); })) {
    close(fd);  // no receiver will close it
    return INVALID_HANDLE_VALUE;
  }
  ForgetDeviceOpenFailures();
  return AddHandle(device);
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
  auto d = FindHandleOf<DeviceObject>(device);
  if (!d) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return d->Ioctl(ioControlCode, static_cast<const uint8_t*>(inBuffer), inBufferSize,
                  static_cast<uint8_t*>(outBuffer), outBufferSize, bytesReturned, overlapped);
}

BOOL GetOverlappedResult(HANDLE device, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait) {
  if (overlapped == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ULONG_PTR status;
  ULONG_PTR bytes;
  ReadOverlapped(overlapped, &status, &bytes);
  if (status != STATUS_PENDING) return ReportResult(status, bytes, bytesTransferred);
  auto d = FindHandleOf<DeviceObject>(device);
  if (!d) {
    // Closed meanwhile: its close ended the request before the handle left the table.
    ReadOverlapped(overlapped, &status, &bytes);
    if (status != STATUS_PENDING) return ReportResult(status, bytes, bytesTransferred);
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return d->Result(overlapped, bytesTransferred, wait);
}

BOOL CancelIoEx(HANDLE device, LPOVERLAPPED overlapped) {
  auto d = FindHandleOf<DeviceObject>(device);
  if (!d) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return d->Cancel(overlapped);
}
