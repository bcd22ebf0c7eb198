#include "fault_support.h"

#include <dirent.h>
#include <fstream>
#include <sstream>

namespace faults {

const std::vector<std::string> kCleanUpLines = {"BTFTM : Cleaning all resources\n", "BTFTM : All resources are freed\n",
                                                "BTFTM : Coming out of main loop\n"};

LiveRun::LiveRun(const std::string& mode, const std::vector<std::string>& ftmdOptions)
    : ftmd(ftmdOptions), bridge(ftmd.dir.path, mode) {
  if (!bridge.WaitListening()) return;
  host = std::make_unique<e2e::TestHost>(bridge.port);
  ready = host->connected() && bridge.child->WaitForOutput("BTFTM : Ethernet Connected!\n");
}

ProcFigures Figures(pid_t pid) {
  ProcFigures f;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    std::istringstream in(line);
    std::string key;
    in >> key;
    if (key == "VmRSS:") in >> f.rssKb;
    if (key == "Threads:") in >> f.threads;
  }
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir != nullptr) {
    f.fds = 0;
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] != '.') ++f.fds;
    }
    closedir(dir);
  }
  return f;
}

bool SanitizerBuild() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

long RssSlackKb() { return SanitizerBuild() ? 256 * 1024 : 8 * 1024; }

int EnvCount(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  int value = std::atoi(text);
  return value > 0 ? value : fallback;
}

Bytes Command(uint16_t opcode, const Bytes& params) {
  Bytes b = {0x01, (uint8_t)(opcode & 0xFF), (uint8_t)(opcode >> 8), (uint8_t)params.size()};
  b.insert(b.end(), params.begin(), params.end());
  return b;
}

Bytes AclPacket(uint16_t handle, const Bytes& data) {
  Bytes b = {0x02, (uint8_t)(handle & 0xFF), (uint8_t)(handle >> 8), (uint8_t)(data.size() & 0xFF),
             (uint8_t)(data.size() >> 8)};
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

Bytes ScoPacket(uint16_t handle, const Bytes& data) {
  Bytes b = {0x03, (uint8_t)(handle & 0xFF), (uint8_t)(handle >> 8), (uint8_t)data.size()};
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

Bytes DiagHciRequest(const Bytes& command) {
  // Header 4B 0B 04 00, the command length (type byte included) at offset 6, the type at
  // offset 10, the command from offset 11; the whole request escaped in its frame.
  Bytes request = {0x4B, 0x0B, 0x04, 0x00, 0x00, 0x00, (uint8_t)command.size(), 0x00, 0x00, 0x00};
  request.insert(request.end(), command.begin(), command.end());
  return e2e::EncodeFrame(request, true);
}

Bytes ReceiveUntil(e2e::TestHost& host, const std::function<bool(const Bytes&)>& pred, int maxPackets) {
  for (int i = 0; i < maxPackets; ++i) {
    Bytes p = host.ReceiveH4();
    if (p.empty()) return {};
    if (pred(p)) return p;
  }
  return {};
}

bool IsCommandComplete(const Bytes& p, uint16_t opcode) {
  return p.size() >= 7 && p[0] == 0x04 && p[1] == 0x0E && p[4] == (opcode & 0xFF) && p[5] == (opcode >> 8);
}

static uint16_t OpenLink(e2e::TestHost& host, const Bytes& command, uint8_t completeEvent) {
  host.Send(command);
  Bytes done = ReceiveUntil(host, [&](const Bytes& p) { return p[0] == 0x04 && p[1] == completeEvent; });
  if (done.size() < 6 || done[3] != 0) return 0xFFFF;
  return (uint16_t)(done[4] | (done[5] << 8));
}

uint16_t OpenAclLink(e2e::TestHost& host) {
  return OpenLink(host, e2e::Hex("01 05 04 0d 11 22 33 44 55 66 18 cc 01 00 00 00 01"), 0x03);
}

uint16_t OpenScoLink(e2e::TestHost& host) {
  return OpenLink(host, e2e::Hex("01 28 04 11 01 00 40 1f 00 00 40 1f 00 00 ff ff 60 00 ff 3f 00"), 0x2C);
}

}  // namespace faults
