// The listening sockets: the device socket (with its stale and live checks) and the
// loopback TCP ports.
#pragma once

#include <string>
#include <sys/types.h>

namespace ftmd {

struct DeviceSocket {
  int fd = -1;
  int dirFd = -1;  // the device directory, through which the socket file is reached
  std::string path;
  std::string name;
  dev_t dev = 0;  // identity of the socket file, so that only ours is removed at the end
  ino_t ino = 0;
  bool replacedStale = false;
};

// Creates DIR if needed (0700, or 0750 for `group`) and listens on DIR/NAME (0600, or
// 0660 for `group`, whatever the umask). A directory that is a symbolic link, belongs to
// another user than ftmd's or root, or that group or others may write is refused, and so
// is one on a path that another user could change (see platform/posix/trusted_dir.h). A
// socket file that nobody serves is replaced; one that a live server answers on is an
// error. Returns false with `error`.
bool listenDevice(const std::string& dir, const std::string& name, const gid_t* group, DeviceSocket& out,
                  std::string& error);
// Removes the socket file if it is still the one listenDevice created, and closes it.
void closeDevice(DeviceSocket& s);

// Listens on 127.0.0.1:port (0: any free port). Returns the fd, or -1 with `error`.
int listenLoopback(int port, int& boundPort, std::string& error);

}  // namespace ftmd
