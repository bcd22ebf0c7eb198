#include "loadgen_net.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <cstdio>
#include <fstream>
#include <string>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace loadgen {

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons((uint16_t)port);
  return addr;
}

}  // namespace

long long PeakResidentKiB(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6));
  }
  return -1;
}

namespace {

// Calls read with each line of every live thread's file name (under /proc/PID/task/TID)
// and sums what it returns; -1 when the process is gone.
template <typename Read>
long long SumOverThreads(int pid, const char* name, Read read) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return -1;
  long long total = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream in(tasks + "/" + entry->d_name + "/" + name);
    std::string line;
    while (std::getline(in, line)) total += read(line);
  }
  closedir(dir);
  return total;
}

}  // namespace

long long CpuNanoseconds(int pid) {
  // schedstat: time on the CPU (ns), time waiting to run (ns), time slices
  return SumOverThreads(pid, "schedstat", [](const std::string& line) { return std::stoll(line); });
}

long long ContextSwitches(int pid) {
  return SumOverThreads(pid, "status", [](const std::string& line) {
    if (line.rfind("voluntary_ctxt_switches:", 0) != 0 && line.rfind("nonvoluntary_ctxt_switches:", 0) != 0) {
      return 0LL;
    }
    return std::stoll(line.substr(line.find(':') + 1));
  });
}

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr = Loopback(0);
  socklen_t size = sizeof addr;
  int port = -1;
  if (bind(fd, (sockaddr*)&addr, sizeof addr) == 0 && getsockname(fd, (sockaddr*)&addr, &size) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

}  // namespace loadgen
