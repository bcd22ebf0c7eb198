// The device directory reached by descriptors: every directory on its path is looked at
// through a descriptor of the one before it, so that nothing found trusted can be swapped
// by a rename between the check and its use. The bridge opens devices and ftmd creates
// its sockets only through the descriptor this gives.
#pragma once

#include <string>

namespace tarnexio_posix {

enum class MakeMissing { kNothing, kLast, kAll };

struct TrustedDirectory {
  int fd = -1;          // the directory, open for reading (or as a path when it may not be read)
  std::string problem;  // why it is not trusted: words that follow "DIR: "
  std::string failed;   // when a system call failed: the path it failed on, with `error`
  int error = 0;
};

// Opens `dir` for a process of user `uid`. Every directory on the way must belong to root
// or `uid` and be writable by nobody else unless it is sticky; the directory itself must
// not be a symbolic link and must pass the stricter rule of wire/device_dir.h. A symbolic
// link on the way is followed only out of a directory already trusted, and what it leads
// to is checked in turn. `make` creates what is missing: the directory itself 0700, the
// ones before it 0755. On failure fd is -1 and either `problem` or `failed` says why.
TrustedDirectory OpenTrustedDirectory(const std::string& dir, MakeMissing make, unsigned long uid);

// A path to `name` in the directory open as `dirFd` that resolves through the descriptor,
// not through the directory's name: for bind and connect, which take no descriptor.
std::string PathThroughDescriptor(int dirFd, const std::string& name);

}  // namespace tarnexio_posix
