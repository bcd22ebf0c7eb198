#include "device_double.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "wire/devchan.h"
#include "test_time.h"
#include "wire/device_dir.h"

namespace tarnexio_test {
namespace {

std::string DeviceDirFromEnvironment() {
  const char* dir = std::getenv("TARNEXIO_DEVICE_DIR");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return DeviceDirectory(dir != nullptr ? dir : "", runtime != nullptr ? runtime : "", geteuid());
}

}  // namespace

TempDeviceDir::TempDeviceDir() {
  char pattern[] = "/tmp/tnx-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  const char* previous = std::getenv("TARNEXIO_DEVICE_DIR");
  if (previous != nullptr) {
    hadPrevious_ = true;
    previous_ = previous;
  }
  setenv("TARNEXIO_DEVICE_DIR", path_.c_str(), 1);
}

TempDeviceDir::~TempDeviceDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  if (hadPrevious_) {
    setenv("TARNEXIO_DEVICE_DIR", previous_.c_str(), 1);
  } else {
    unsetenv("TARNEXIO_DEVICE_DIR");
  }
}

DeviceAction DeviceAction::Complete(uint32_t status, std::vector<uint8_t> output) {
  return {kComplete, status, std::move(output), {}};
}
DeviceAction DeviceAction::Pending() { return {kPending, 0, {}, {}}; }
DeviceAction DeviceAction::Ignore() { return {kIgnore, 0, {}, {}}; }
DeviceAction DeviceAction::Hold() { return {kHold, 0, {}, {}}; }
DeviceAction DeviceAction::Raw(std::vector<std::vector<uint8_t>> datagrams) {
  return {kRaw, 0, {}, std::move(datagrams)};
}
DeviceAction DeviceAction::CloseConnection() { return {kCloseConnection, 0, {}, {}}; }
DeviceAction DeviceAction::CloseItsConnection() { return {kCloseItsConnection, 0, {}, {}}; }

std::vector<uint8_t> CompleteDatagram(uint32_t id, uint32_t status, const std::vector<uint8_t>& output) {
  return wire::BuildDevchanComplete(id, status, output.data(), output.size());
}

std::vector<uint8_t> PendingDatagram(uint32_t id) {
  return wire::BuildDevchanPending(id);
}

DeviceDouble::DeviceDouble(const std::string& name) : DeviceDouble(DeviceDirFromEnvironment(), name) {}

DeviceDouble::DeviceDouble(const std::string& dir, const std::string& name)
    : socketPath_(dir + "/" + name), name_(name) {
  script_ = [](const DeviceRequest&) { return DeviceAction::Complete(0); };
  struct sockaddr_un address;
  std::memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  if (socketPath_.size() >= sizeof(address.sun_path)) throw std::runtime_error("device path too long");
  std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
  mkdir(dir.c_str(), 0700);
  unlink(socketPath_.c_str());
  listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listenFd_, 16) != 0 || pipe2(wakeFds_, O_CLOEXEC) != 0) {
    throw std::runtime_error("device double cannot listen on " + socketPath_);
  }
  thread_ = std::thread([this] { Serve(); });
}

DeviceDouble::~DeviceDouble() {
  Stop();
  close(wakeFds_[0]);
  close(wakeFds_[1]);
}

std::wstring DeviceDouble::DevicePath() const { return L"\\\\.\\" + std::wstring(name_.begin(), name_.end()); }

void DeviceDouble::SetScript(Script script) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_ = std::move(script);
}

void DeviceDouble::SetAnswerCancels(bool answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  answerCancels_ = answer;
}

void DeviceDouble::SetOfferLanes(bool offer) {
  std::lock_guard<std::mutex> lock(mutex_);
  offerLanes_ = offer;
}

int DeviceDouble::LaneCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return laneCount_;
}

// A connection's offered token is 0x7A000000 plus its number, in the 4 bytes of an earlier
// server's token, so that the bridge's lanes are tried with those as well as with ftmd's.
constexpr uint32_t kTokenBase = 0x7A000000;

wire::LaneToken TokenOf(int number) {
  wire::LaneToken token;
  token.size = 4;
  const uint32_t value = kTokenBase + uint32_t(number);
  for (size_t i = 0; i < 4; ++i) token.bytes[i] = uint8_t(value >> (8 * i));
  return token;
}

bool DeviceDouble::ReplyLocked(int number, uint32_t id, const std::vector<uint8_t>& datagram) {
  auto it = connections_.find(number);
  if (it != connections_.end()) {
    auto route = it->second.routes.find(id);
    if (route != it->second.routes.end()) {
      const int lane = route->second;
      wire::DevchanReply reply;
      if (wire::ParseDevchanReply(datagram.data(), datagram.size(), &reply) && reply.kind == wire::kMsgComplete) {
        it->second.routes.erase(route);
      }
      if (connections_.count(lane) != 0) return SendLocked(lane, datagram);
    }
  }
  return SendLocked(number, datagram);
}

bool DeviceDouble::SendLocked(int number, const std::vector<uint8_t>& datagram) {
  auto it = connections_.find(number);
  if (it == connections_.end()) return false;
  for (;;) {
    ssize_t n = send(it->second.fd, datagram.data(), datagram.size(), MSG_NOSIGNAL);
    if (n >= 0) return true;
    if (errno != EINTR) return false;
  }
}

bool DeviceDouble::CompletePending(uint32_t id, uint32_t status, const std::vector<uint8_t>& output,
                                   int connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = connections_.rbegin(); it != connections_.rend(); ++it) {
    if (connection != 0 && it->first != connection) continue;
    if (it->second.pending.erase(id) == 0) continue;
    return ReplyLocked(it->first, id, CompleteDatagram(id, status, output));
  }
  return false;
}

bool DeviceDouble::ReleaseHeld(uint32_t id, uint32_t status, const std::vector<uint8_t>& output) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : connections_) {
    if (entry.second.held.erase(id) != 0) return ReplyLocked(entry.first, id, CompleteDatagram(id, status, output));
  }
  return false;
}

void DeviceDouble::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  char byte = 1;
  (void)!write(wakeFds_[1], &byte, 1);
  if (thread_.joinable()) thread_.join();
}

template <typename Pred>
bool DeviceDouble::WaitFor(int timeoutMs, Pred pred) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, Scaled(std::chrono::milliseconds(timeoutMs)), pred);
}

bool DeviceDouble::WaitForRequests(size_t count, int timeoutMs) {
  return WaitFor(timeoutMs, [&] { return requests_.size() >= count; });
}

bool DeviceDouble::WaitForCancels(size_t count, int timeoutMs) {
  return WaitFor(timeoutMs, [&] { return cancels_.size() >= count; });
}

bool DeviceDouble::WaitForConnections(size_t count, int timeoutMs) {
  return WaitFor(timeoutMs, [&] { return size_t(connectionCount_) >= count; });
}

bool DeviceDouble::WaitForNoConnections(int timeoutMs) {
  return WaitFor(timeoutMs, [&] { return connections_.empty(); });
}

void DeviceDouble::Forget() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
  cancels_.clear();
}

std::vector<DeviceRequest> DeviceDouble::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<DeviceCancel> DeviceDouble::Cancels() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cancels_;
}

void DeviceDouble::HandleDatagram(int number, const uint8_t* data, size_t size) {
  const int lane = number;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = connections_.find(number);
    if (it == connections_.end()) return;
    const wire::LaneToken token = wire::DevchanAttachToken(data, size);
    if (token.Valid()) {
      const int device = token.size == 4 ? int(wire::Le32(token.bytes) - kTokenBase) : 0;
      if (device == number || connections_.count(device) == 0 || connections_[device].device != 0) {
        shutdown(it->second.fd, SHUT_RDWR);
        return;
      }
      it->second.device = device;
      ++laneCount_;
      SendLocked(number, wire::BuildDevchanAttached());
      cv_.notify_all();
      return;
    }
    if (it->second.device != 0) number = it->second.device;  // the rest as on the device connection
  }
  wire::DevchanRequest parsed;
  if (wire::ParseDevchanRequest(data, size, &parsed) != wire::DevchanParseResult::Ok) return;
  const uint32_t id = parsed.id;
  if (parsed.kind == wire::kMsgIoctl) {
    DeviceRequest request;
    request.connection = number;
    request.onLane = lane != number;
    request.id = id;
    request.code = parsed.code;
    request.outSize = parsed.outSize;
    request.input.assign(parsed.in, parsed.in + parsed.inLen);
    Script script;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      script = script_;
    }
    DeviceAction action = script(request);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = connections_.find(number);
    if (it != connections_.end() && lane != number) it->second.routes[id] = lane;
    switch (action.kind) {
      case DeviceAction::kComplete:
        ReplyLocked(number, id, CompleteDatagram(id, action.status, action.output));
        break;
      case DeviceAction::kPending:
        if (it != connections_.end()) it->second.pending.insert(id);
        ReplyLocked(number, id, PendingDatagram(id));
        break;
      case DeviceAction::kIgnore:
        break;
      case DeviceAction::kHold:
        if (it != connections_.end()) it->second.held.insert(id);
        break;
      case DeviceAction::kRaw:
        for (const auto& d : action.datagrams) SendLocked(lane, d);
        break;
      case DeviceAction::kCloseConnection:
        if (it != connections_.end()) shutdown(it->second.fd, SHUT_RDWR);
        break;
      case DeviceAction::kCloseItsConnection:
        if (connections_.count(lane) != 0) shutdown(connections_[lane].fd, SHUT_RDWR);
        break;
    }
    requests_.push_back(std::move(request));
    cv_.notify_all();
  } else {
    std::lock_guard<std::mutex> lock(mutex_);
    cancels_.push_back(DeviceCancel{number, id});
    auto it = connections_.find(number);
    if (answerCancels_ && it != connections_.end()) {
      std::vector<uint32_t> ids;
      if (id == 0) {
        ids.assign(it->second.pending.begin(), it->second.pending.end());
      } else if (it->second.pending.count(id) != 0) {
        ids.push_back(id);
      }
      for (uint32_t cancelled : ids) {
        it->second.pending.erase(cancelled);
        ReplyLocked(number, cancelled, CompleteDatagram(cancelled, wire::kStatusAborted));
      }
    }
    cv_.notify_all();
  }
}

void DeviceDouble::Serve() {
  std::vector<uint8_t> buffer(64 * 1024);
  for (;;) {
    std::vector<struct pollfd> fds;
    std::vector<int> numbers;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
      fds.push_back({wakeFds_[0], POLLIN, 0});
      fds.push_back({listenFd_, POLLIN, 0});
      for (auto& entry : connections_) {
        fds.push_back({entry.second.fd, POLLIN, 0});
        numbers.push_back(entry.first);
      }
    }
    if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) continue;  // stopping: checked at the top
    if (fds[1].revents & POLLIN) {
      int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        connections_[++connectionCount_].fd = fd;
        if (offerLanes_) SendLocked(connectionCount_, wire::BuildDevchanOffer(TokenOf(connectionCount_)));
        cv_.notify_all();
      }
    }
    for (size_t i = 0; i < numbers.size(); ++i) {
      if (fds[i + 2].revents == 0) continue;
      int fd = fds[i + 2].fd;
      ssize_t n = recv(fd, buffer.data(), buffer.size(), MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
      if (n > 0 && size_t(n) > buffer.size()) buffer.resize(size_t(n));
      if (n > 0) n = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n > 0) {
        HandleDatagram(numbers[i], buffer.data(), size_t(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR && errno != ECONNRESET)) {
        // A reset can come before datagrams still queued; only the end of file ends it.
        std::lock_guard<std::mutex> lock(mutex_);
        close(fd);
        connections_.erase(numbers[i]);
        cv_.notify_all();
      }
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : connections_) close(entry.second.fd);
  connections_.clear();
  close(listenFd_);
  listenFd_ = -1;
  unlink(socketPath_.c_str());
  cv_.notify_all();
}

}  // namespace tarnexio_test
