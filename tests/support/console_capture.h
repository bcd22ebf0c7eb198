// Captures what the program prints on standard output during a test.
#pragma once

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

class ConsoleCapture {
 public:
  ConsoleCapture() {
    std::fflush(stdout);
    char path[] = "/tmp/tarnexio-console.XXXXXX";
    fd_ = mkstemp(path);
    unlink(path);
    saved_ = dup(1);
    dup2(fd_, 1);
  }
  ~ConsoleCapture() { Finish(); }
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  // Everything printed so far (capture goes on).
  std::string Text() const {
    std::fflush(stdout);
    std::string out;
    char buf[4096];
    for (off_t at = 0;;) {
      ssize_t n = pread(fd_, buf, sizeof buf, at);
      if (n <= 0) break;
      out.append(buf, (size_t)n);
      at += n;
    }
    return out;
  }

  // Stops capturing and returns everything printed.
  std::string Finish() {
    if (saved_ < 0) return finished_;
    finished_ = Text();
    dup2(saved_, 1);
    close(saved_);
    close(fd_);
    saved_ = -1;
    return finished_;
  }

 private:
  int fd_ = -1;
  int saved_ = -1;
  std::string finished_;
};
