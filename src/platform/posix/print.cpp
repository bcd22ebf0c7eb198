// print_message: formats wide, writes UTF-8 to standard output with one write per call.
#include <cstdarg>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/utf8.h"

namespace {

std::mutex g_printMutex;

void WriteAll(const std::string& text) {
  std::lock_guard<std::mutex> lock(g_printMutex);
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
  std::vector<wchar_t> buffer(1024);
  int length = -1;
  // vswprintf only says "too small" by failing, so grow until it fits; a message that
  // still fails at 256 Ki characters (or has a character the locale cannot take)
  // is not printed as such.
  while (buffer.size() <= (size_t(256) << 10)) {
    va_list args;
    va_start(args, format);
    length = vswprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    if (length >= 0) break;
    buffer.resize(buffer.size() * 4);
  }
  std::string text;
  if (length < 0) {
    text = "(message could not be formatted)\n";
  } else {
    text.reserve(size_t(length) + 16);
    for (int i = 0; i < length; ++i) tarnexio_posix::AppendUtf8(text, uint32_t(buffer[size_t(i)]));
  }
  WriteAll(text);
  errno = savedErrno;  // the caller may still look at the error of its last socket call
}
