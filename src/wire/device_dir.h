// Where the device sockets live, and which directories may hold them.
//
// The bridge, ftmd, the test double and the scripts all find the directory through
// DeviceDirectory, and the bridge and ftmd judge it through DeviceDirectoryProblem, so
// that both ends agree on one directory and on one rule of trust.
#pragma once

#include <string>

// The device directory: `override` when it is not empty (TARNEXIO_DEVICE_DIR, ftmd's
// --dir); else RUNTIME/tarnexio when `runtimeDir` (XDG_RUNTIME_DIR) is not empty; else
// /run/tarnexio for root and /tmp/tarnexio-UID for any other user.
std::string DeviceDirectory(const std::string& override, const std::string& runtimeDir, unsigned long uid);

// Empty when a process running as `uid` may trust the directory: a real directory (not a
// symbolic link) that belongs to `uid` or to root and that neither group nor others may
// write. `mode` and `owner` are what lstat gives for it (st_mode with its file type bits,
// st_uid). Otherwise why not, as words that follow the directory's path ("is a symbolic
// link").
std::string DeviceDirectoryProblem(unsigned long mode, unsigned long owner, unsigned long uid);

// Empty when a process running as `uid` may trust a directory on the way to the device
// directory: one that belongs to `uid` or to root and that neither group nor others may
// write, unless its sticky bit keeps them from renaming or removing what is not theirs
// (as in /tmp). Otherwise why not, as DeviceDirectoryProblem words it.
std::string DeviceDirectoryParentProblem(unsigned long mode, unsigned long owner, unsigned long uid);
