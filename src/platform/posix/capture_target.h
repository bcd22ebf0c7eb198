// Opening what a capture name points at, shared by the bridge and ftmd: a directory gets
// a new file for this run; a new file is created for the user alone (or its group); an
// existing regular file of the user is replaced; a FIFO is opened without waiting for a
// reader. Nothing is followed through a symbolic link, nothing that belongs to another
// user is written into, and no existing file or FIFO that others may read or write (but
// for the group's reading, with a group) is used.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace tarnexio_posix {

enum CaptureTargetKind {
  CAPTURE_TARGET_FILE,       // fd is the file, empty, open for writing
  CAPTURE_TARGET_FIFO,       // pathFd holds the FIFO; fd its writing end when a reader is there, else -1
  CAPTURE_TARGET_REFUSED,    // why says what is wrong with it
  CAPTURE_TARGET_FAILED,     // error is the system's error number
};

struct CaptureTarget {
  CaptureTargetKind kind = CAPTURE_TARGET_FAILED;
  int fd = -1;
  int pathFd = -1;
  std::string path;  // the name given, or the new file in the directory it names
  int dirFd = -1;    // a new file in a directory: that directory, and the file's name in it
  std::string nameInDir;
  int error = 0;
  std::string why;   // "it is a symbolic link", ...
};

// Opens name for a capture. In a directory the new file is named by CaptureFileName with
// prefix and the start time unixMillis. The file gets mode 0600, or 0640 with group set
// (and then that group). Descriptors are close-on-exec and the caller owns them.
// With keep above 0, a directory keeps at most keep capture files of prefix's (by
// IsCaptureFileName) that belong to the user, the new one among them: the oldest go.
CaptureTarget OpenCaptureTarget(const std::string& name, const std::string& prefix, int64_t unixMillis,
                                const gid_t* group, size_t keep = 0);

// The writing end of the FIFO held by pathFd, not blocking; -1 with errno set (ENXIO: no
// reader yet).
int OpenFifoWriter(int pathFd);

// An open capture target as a sink of bytes: a file (fd), or a FIFO (pathFd, and fd while a
// reader is there).
struct CaptureFds {
  int fd = -1;
  int pathFd = -1;
  int dirFd = -1;  // a new file in a directory (CaptureTarget's), which an empty close removes
  std::string nameInDir;
};

// A file: writes all of data, returns length or a negative error number; a write that
// fails part way is undone, so the file ends where it ended before. A FIFO: writes
// what the reader takes within timeoutMs (0 when nothing), or -EPIPE when it has gone.
long WriteCaptureFds(CaptureFds* target, const uint8_t* data, size_t length, int timeoutMs);
// A FIFO: 0 once a reader is there, EAGAIN when none came within timeoutMs, or an error.
int AwaitCaptureReaderFds(CaptureFds* target, int timeoutMs);
// A FIFO: lets the reader go.
void DropCaptureReaderFds(CaptureFds* target);
void CloseCaptureFds(CaptureFds* target);
// Closes a capture that holds no packet: a file made for this run in a directory is removed
// again (when its name there is still that file), so that runs that captured nothing leave
// nothing behind; anything else is closed as CloseCaptureFds does.
void CloseEmptyCaptureFds(CaptureFds* target);

}  // namespace tarnexio_posix
