#include "client.h"

#include "child_process.h"
#include "test_time.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace ftmd_test {

FtmdProcess::FtmdProcess(const std::string& dir, std::vector<std::string> args, const Launch& launch) {
  for (const std::string& o : tarnexio_test::FtmdBehaviourOptions()) args.push_back(o);
  args.insert(args.begin(), {FTMD_BINARY, "--dir", dir});
  args.insert(args.begin(), launch.prefix.begin(), launch.prefix.end());
  child_ = std::make_unique<tarnexio_test::ChildProcess>(args, std::map<std::string, std::string>{}, launch.umask);
  readyLine_ = child_->WaitForLine("ftmd: serving ", std::chrono::seconds(5));
}

FtmdProcess::~FtmdProcess() {
  if (child_->Running()) {
    child_->Signal(SIGTERM);
    child_->WaitExit(std::chrono::milliseconds(3000));  // the child's own end kills it when this was not enough
  }
}

void FtmdProcess::signal(int sig) { child_->Signal(sig); }

int FtmdProcess::wait(int timeoutMs) {
  const int code = child_->WaitExit(std::chrono::milliseconds(timeoutMs));
  return code >= 0 && child_->ExitedNormally() ? code : -1;
}

std::string FtmdProcess::output(int waitMs) {
  child_->WaitForMore(seen_, std::chrono::milliseconds(waitMs));
  const std::string out = child_->Output();
  seen_ = out.size();
  return out;
}

::testing::AssertionResult FtmdProcess::waitForOutput(const std::string& text, int timeoutMs) {
  return child_->WaitForOutput(text, std::chrono::milliseconds(timeoutMs));
}

DevClient::DevClient(const std::string& socketPath) {
  fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", socketPath.c_str());
  if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) close();
}

DevClient::DevClient(int tcpPort) : tcp_(true) {
  fd_ = tarnexio_test::ConnectLoopback(tcpPort);
  int one = 1;
  if (fd_ >= 0) setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

DevClient::~DevClient() { close(); }

void DevClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void DevClient::sendRaw(const Bytes& msg) {
  const Bytes m = tcp_ ? wire::FrameDevchanMessage(msg) : msg;
  ::send(fd_, m.data(), m.size(), MSG_NOSIGNAL);
}

void DevClient::ioctl(uint32_t id, uint32_t code, uint32_t outSize, const Bytes& in) {
  sendRaw(wire::BuildDevchanIoctl(id, code, outSize, in.data(), in.size()));
}

void DevClient::cancel(uint32_t id) {
  sendRaw(wire::BuildDevchanCancel(id));
}

bool DevClient::keptAsOffer(const Bytes& msg) {
  // The lane offer a new connection gets is kept aside, as a client that takes no lanes
  // ignores it.
  wire::DevchanReply offer;
  if (!wire::ParseDevchanReply(msg.data(), msg.size(), &offer) || offer.kind != wire::kMsgOffer) return false;
  offer_ = offer.token;
  return true;
}

Reply DevClient::recv(int timeoutMs) {
  Reply r;
  Bytes msg;
  const auto deadline = std::chrono::steady_clock::now() + tarnexio_test::Scaled(std::chrono::milliseconds(timeoutMs));
  for (;;) {
    size_t len = 0;
    if (tcp_ && wire::NextDevchanFrame(in_.data(), in_.size(), SIZE_MAX, &len) == wire::DevchanFrame::Message) {
      const long end = long(wire::kDevchanLengthSize + len);
      msg.assign(in_.begin() + long(wire::kDevchanLengthSize), in_.begin() + end);
      in_.erase(in_.begin(), in_.begin() + end);
      if (keptAsOffer(msg)) continue;
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0) return r;
    uint8_t buf[70000];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return r;
    if (!tcp_) {
      msg.assign(buf, buf + n);
      if (keptAsOffer(msg)) continue;
      break;
    }
    in_.insert(in_.end(), buf, buf + n);
  }
  wire::DevchanReply reply;
  if (!wire::ParseDevchanReply(msg.data(), msg.size(), &reply)) return r;
  r.got = true;
  r.kind = reply.kind;
  r.id = reply.id;
  r.status = reply.status;
  r.out.assign(reply.payload, reply.payload + reply.payloadSize);
  return r;
}

Reply DevClient::call(uint32_t id, uint32_t code, uint32_t outSize, const Bytes& in) {
  ioctl(id, code, outSize, in);
  return recv();
}

Reply DevClient::callPending(uint32_t id, uint32_t code, uint32_t outSize, const Bytes& in) {
  Reply first = call(id, code, outSize, in);
  if (!first.got || first.id != id) return Reply{};
  if (first.kind == ftmd::kMsgComplete) return first;
  if (first.kind != ftmd::kMsgPending) return Reply{};
  return recv();
}

std::string deviceSocket(const std::string& dir, int type) {
  return dir + "/" + (type == 2 ? wire::kType2DeviceName : wire::kType1DeviceName);
}

int readyPort(const std::string& readyLine, const std::string& what) {
  const std::string key = what + " on 127.0.0.1:";
  const size_t pos = readyLine.find(key);
  return pos == std::string::npos ? -1 : std::atoi(readyLine.c_str() + pos + key.size());
}

Bytes hciCommand(uint16_t op, const Bytes& params) {
  Bytes c(3 + params.size());
  c[0] = uint8_t(op);
  c[1] = uint8_t(op >> 8);
  c[2] = uint8_t(params.size());
  std::copy(params.begin(), params.end(), c.begin() + 3);
  return c;
}

Bytes le32Bytes(uint32_t v) {
  Bytes b;
  ftmd::PutLe32(b, v);
  return b;
}

size_t countFds(pid_t pid) {
  size_t n = 0;
  if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

long vmRssKb(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

}  // namespace ftmd_test
