// print_message: formats wide, writes UTF-8 to standard output with one write per call.
#include <cstdarg>
#include <mutex>
#include <string>

#include "platform/format_wide.h"
#include "platform/platform.h"
#include "platform/posix/utf8.h"
#include "wire/locks.h"

namespace {

// Standard output: each print_message call is one write under it.
Mutex g_printMutex;

void WriteAll(const std::string& text) {
  MutexLock lock(&g_printMutex);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(1, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // standard output is gone; nothing more to do
    done += size_t(n);
  }
}

}  // namespace

void print_message(const wchar_t* format, ...) {
  if (format == nullptr) return;
  int savedErrno = errno;
  va_list args;
  va_start(args, format);
  const std::wstring wide = tarnexio_platform::FormatWideMessage(format, args);
  va_end(args);
  std::string text;
  text.reserve(wide.size() + 16);
  for (wchar_t c : wide) tarnexio_posix::AppendUtf8(text, uint32_t(c));
  WriteAll(text);
  errno = savedErrno;  // the caller may still look at the error of its last socket call
}
