// Small files that readers in other processes read whole: a file replaced by renaming a
// complete new one over it, and a whole file read back. Shared by the bridge and ftmd.
#pragma once

#include <cstddef>
#include <string>

namespace tarnexio_posix {

// Replaces dir/name with content: written to a temporary file in dir (named after name
// and this process, never ending in name's suffix), flushed to the disk, made readable
// by everyone (a collector runs as its own user) and renamed over name, so that a reader
// sees the old content or the new one, whole. Returns 0 or the system's error number;
// on failure the temporary file is gone and name is as it was.
int ReplaceFileIn(const std::string& dir, const std::string& name, const std::string& content);

// Reads dir/name whole when it is a regular file of at most limit bytes (not reached
// through a symbolic link). Returns 0, or the system's error number (ENOENT: there is
// none; EFBIG: longer than limit).
int ReadFileIn(const std::string& dir, const std::string& name, size_t limit, std::string* content);

}  // namespace tarnexio_posix
