#include "thread_state.h"

#include "wait_until.h"

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace tarnexio_test {

namespace {

std::string TaskFile(pid_t pid, pid_t tid, const char* name) {
  return "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/" + name;
}

std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

pid_t CurrentThreadId() { return (pid_t)syscall(SYS_gettid); }

bool ThreadIsBlocked(pid_t pid, pid_t tid, long syscallNumber) {
  // The state follows the name, which is in parentheses and may itself hold any byte.
  const std::string stat = FirstLine(TaskFile(pid, tid, "stat"));
  const size_t end = stat.rfind(')');
  if (end == std::string::npos || end + 2 >= stat.size()) return false;
  const char state = stat[end + 2];
  if (state != 'S' && state != 'D') return false;
  if (syscallNumber < 0) return true;
  std::istringstream call(FirstLine(TaskFile(pid, tid, "syscall")));
  long number = -1;
  return (call >> number) && number == syscallNumber;
}

size_t ThreadCount() {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return 0;
  size_t count = 0;
  while (dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
  closedir(tasks);
  return count;
}

bool WaitThreadBlocked(pid_t tid, int timeoutMs) {
  return WaitUntil([tid] { return ThreadIsBlocked(getpid(), tid); }, timeoutMs);
}

bool WaitProcessBlockedIn(pid_t pid, long syscallNumber, int timeoutMs) {
  return WaitUntil(
      [&] {
        DIR* tasks = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
        if (tasks == nullptr) return false;
        bool found = false;
        while (dirent* entry = readdir(tasks)) {
          if (entry->d_name[0] == '.') continue;
          if (ThreadIsBlocked(pid, (pid_t)std::stol(entry->d_name), syscallNumber)) found = true;
        }
        closedir(tasks);
        return found;
      },
      timeoutMs);
}

}  // namespace tarnexio_test
