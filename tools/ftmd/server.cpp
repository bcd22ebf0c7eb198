#include "server.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "log.h"

namespace ftmd {

namespace {
constexpr size_t kMaxConnectionsPerUser = 64;
constexpr size_t kOutBackpressure = 4096;  // replies held before a client's input is left unread
constexpr int kDatagramsPerWake = 64;      // so that one busy client cannot starve the others
constexpr int kMaxResets = 1024;
// Connections taken from one listening socket per pass of the loop: the rest wait for
// the next pass, so that a flood of connects never holds up the clients being served.
constexpr int kAcceptsPerPass = 8;
constexpr int kNoneWaiting = -1, kRefused = -2;  // what acceptServed returns besides a descriptor
// A client (a process of a user) that presented more wrong lane tokens than this gets no
// more lanes until one of them is forgiven; one is forgiven each kForgiveAttach. A client
// that keeps guessing tries once per that time, and other clients of its user are not
// held up by it.
constexpr int kMaxFailedAttaches = 3;
constexpr std::chrono::seconds kForgiveAttach{5};
// How long a device connection waits for the one holding the controller to go before it is
// told the controller is in use: a bridge that has just ended may still be on its way out
// (its close passing a relay, or the TCP form) when the next run's first request comes.
constexpr std::chrono::milliseconds kHolderGrace{1500};
constexpr size_t kMaxHeldRequests = 256;  // a waiter that sends more is refused at once

// A read of 0 bytes is either the end of the connection or an empty datagram; only the
// end leaves the socket shut for reading.
bool peerClosed(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  const int n = poll(&p, 1, 0);
  return n < 0 || (n == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0);
}
}  // namespace

Server::Server(const Options& opt) : opt_(opt), rxBuf_(kMaxMessage + 1) {
  driverCfg_.type = opt.type;
  driverCfg_.btOn = opt.btOn;
  driverCfg_.ftmSeconds = opt.ftmSeconds;
  driverCfg_.pendAlways = opt.pendAlways;
  driverCfg_.controller = opt.controller;
}

Server::~Server() {
  for (auto& kv : conns_) {
    // Lanes have no counts of their own; a refused connection served nothing.
    if (kv.second->model && !kv.second->refused) logLine(countsLine(kv.second->tag, kv.second->model->counts()));
  }
  conns_.clear();
  h4_.clear();
  real_.reset();
  closeDevice(device_);
  closeCapture(capture_);
}

bool Server::start(std::string& error) {
  policy_.self = geteuid();
  if (!opt_.group.empty()) {
    const group* g = getgrnam(opt_.group.c_str());
    if (g == nullptr) {
      error = "no group named " + opt_.group;
      return false;
    }
    policy_.hasGroup = true;
    policy_.group = g->gr_gid;
    policy_.groupName = opt_.group;
  }
  if (!listenDevice(deviceDir(opt_), deviceName(opt_.type), policy_.hasGroup ? &policy_.group : nullptr, device_,
                    error))
    return false;
  if (device_.replacedStale) logVerbose("replaced the stale socket " + device_.path);
  if (opt_.tcpPort >= 0 && !(tcpFd_ = listenLoopback(opt_.tcpPort, tcpPort_, error)).valid()) return false;
  if (opt_.h4Port >= 0 && !(h4Fd_ = listenLoopback(opt_.h4Port, h4Port_, error)).valid()) return false;
  spareFd_.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!opt_.btsnoop.empty() && openCapture(capture_, opt_.btsnoop, policy_.hasGroup ? &policy_.group : nullptr)) driverCfg_.capture = &capture_;
  figures_.startMs = uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
  if (opt_.controller.kind != "sim") {
    real_ = std::make_unique<RealController>(opt_.transport, timers_, opt_.resetController);
    if (!real_->open(error)) return false;
    RealController* real = real_.get();
    driverCfg_.controller.attachReal = opt_.controller.attachReal = [real](ControllerHost& host) {
      return real->attach(host);
    };
    // The H4 client goes with the transport; a device connection stays until its client
    // closes it, after its requests failed.
    real_->onLost = [this](const void* holder) {
      for (auto it = h4_.begin(); it != h4_.end(); ++it)
        if (&it->second == holder) return endH4(it);
    };
  }
  writeMetrics();
  return true;
}

void Server::writeMetrics() {
  if (opt_.metricsDir.empty()) return;
  timers_.cancel(&figures_);
  if (real_) {
    figures_.controllerConnected = real_->connected();
    figures_.losses = real_->losses();
    figures_.reopenAttempts = real_->reopenAttempts();
    figures_.bytesToController = real_->bytesWritten();
    figures_.bytesFromController = real_->bytesRead();
  }
  const std::string error = WriteFtmdMetrics(opt_.metricsDir, figures_);
  if (!error.empty()) logOnce("cannot write the metrics file " + error);
  timers_.add(kMetricsPeriod, &figures_, [this] { writeMetrics(); });
}

bool Server::admit(const void* who, const std::string& tag, bool device) {
  std::string why;
  // The simulated controller is held by a device connection alone: each H4 client gets a
  // simulated controller of its own.
  if (real_ ? real_->claim(who, tag, why) : (!device || claimSim(who, tag, why))) return true;
  logError(tag + " refused: " + why);
  return false;
}

// The simulated controller of the device connections is one controller, as a real one is:
// one holder at a time.
bool Server::claimSim(const void* who, const std::string& tag, std::string& why) {
  if (simHolder_ && simHolder_ != who) {
    why = "the simulated controller is in use by " + simHolderTag_;
    return false;
  }
  simHolder_ = who;
  simHolderTag_ = tag;
  return true;
}

void Server::release(const void* who) {
  if (real_) real_->release(who);
  if (simHolder_ == who) simHolder_ = nullptr;
  if (controllerHeld()) return;
  // Connections waiting for the controller are served in the order they came, from the
  // run loop rather than from within the holder's close.
  timers_.cancel(&replayKey_);
  timers_.add(std::chrono::milliseconds(0), &replayKey_, [this] { replayWaiting(); });
}

void Server::replayWaiting() {
  std::vector<int> waiting;
  for (const auto& kv : conns_) {
    if (!kv.second->held.empty()) waiting.push_back(kv.first);
  }
  for (int fd : waiting) replayHeld(fd);
}

// Dispatches again what a device connection sent while it waited; what still finds the
// controller held (another waiter got it first) waits again, in the same order.
void Server::replayHeld(int deviceFd) {
  auto device = conns_.find(deviceFd);
  if (device == conns_.end()) return;
  std::vector<std::pair<int, Bytes>> held;
  held.swap(device->second->held);
  for (const auto& request : held) {
    if (conns_.find(deviceFd) == conns_.end()) return;  // it closed meanwhile
    auto from = conns_.find(request.first);
    if (from == conns_.end()) continue;  // a lane that has gone
    dispatch(*from->second, request.second.data(), request.second.size());
  }
}

bool Server::controllerHeld() const { return real_ ? real_->held() : simHolder_ != nullptr; }

Server::Admission Server::admitDevice(Connection& device) {
  // A device connection is admitted at its first request, wherever that comes from: its
  // lanes are part of it and never claim the controller themselves. One controller, real
  // or simulated, one user: while another holds it, the newcomer waits for kHolderGrace,
  // then the refusal is logged once, and the caller tells the client.
  if (device.admitted) return Admission::Admitted;
  if (device.refused) return Admission::Refused;
  finishGoneHolder(&device);
  if (controllerHeld() && !device.graceOver) return Admission::Wait;
  if (admit(&device, device.tag, true)) {
    device.admitted = true;
    return Admission::Admitted;
  }
  device.refused = true;
  ++figures_.refused[controllerHeld() ? REFUSED_IN_USE : REFUSED_NOT_CONNECTED];
  return Admission::Refused;
}

// A device connection whose client has closed its end still holds the controller until the
// run loop has read what it sent before that, a few datagrams per wake. The next client
// (the next run of a bridge, started once the last one ended) must not be told the
// controller is in use meanwhile: that connection is finished now, its last requests
// served as they would have been, and closed.
void Server::finishGoneHolder(const Connection* asking) {
  const void* holder = real_ ? real_->holder() : simHolder_;
  if (holder == nullptr || holder == asking) return;
  for (auto& kv : conns_) {
    Connection& h = *kv.second;
    if (&h != holder) continue;
    pollfd p = {h.fd, POLLRDHUP, 0};
    if (poll(&p, 1, 0) != 1 || !(p.revents & (POLLHUP | POLLRDHUP | POLLERR))) return;
    // The asking connection's datagram is in rxBuf_: the holder's are read into another.
    Bytes asked(rxBuf_.size());
    rxBuf_.swap(asked);
    while (h.tcp ? readStream(h) : readDatagrams(h, POLLHUP)) {
    }
    rxBuf_.swap(asked);
    return closeConnection(h.fd);
  }
}

void Server::endH4(H4Sessions::iterator it) {
  release(&it->second);
  h4_.erase(it);
}

std::string Server::readyLine() const {
  std::string line = "serving " + deviceName(opt_.type) + " (type " + std::to_string(opt_.type) + ") on " +
                     device_.path;
  if (tcpFd_.valid()) line += ", TCP form on 127.0.0.1:" + std::to_string(tcpPort_);
  if (h4Fd_.valid()) line += ", H4 on 127.0.0.1:" + std::to_string(h4Port_);
  return line;
}

std::string Server::run(int signalFd) {
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back({signalFd, POLLIN, 0});
    fds.push_back({device_.fd.get(), POLLIN, 0});
    if (tcpFd_.valid()) fds.push_back({tcpFd_.get(), POLLIN, 0});
    if (h4Fd_.valid()) fds.push_back({h4Fd_.get(), POLLIN, 0});
    if (real_ && real_->fd() >= 0) fds.push_back({real_->fd(), real_->pollEvents(), 0});
    for (auto& kv : h4_) {
      const H4Session& h = *kv.second;
      fds.push_back({h.fd(), short((h.wantsInput() ? POLLIN : 0) | (h.wantsOutput() ? POLLOUT : 0)), 0});
    }
    for (auto& kv : conns_) {
      const Connection& c = *kv.second;
      short ev = 0;
      if (c.out.size() < kOutBackpressure && takesInput()) ev |= POLLIN;
      if (!c.out.empty()) ev |= POLLOUT;
      fds.push_back({c.fd, ev, 0});
    }
    const int n = poll(fds.data(), fds.size(), timers_.pollTimeoutMs());
    if (n < 0 && errno != EINTR) {
      logError(std::string("poll failed: ") + std::strerror(errno));
      return "error";
    }
    for (const pollfd& p : fds) {
      if (!p.revents) continue;
      if (p.fd == signalFd) {
        std::string name;
        if (onSignal(signalFd, name)) return name;
      } else if (p.fd == device_.fd.get()) {
        acceptDevice(device_.fd.get(), false);
      } else if (p.fd == tcpFd_.get()) {
        acceptDevice(tcpFd_.get(), true);
      } else if (p.fd == h4Fd_.get()) {
        acceptH4();
      } else if (real_ && p.fd == real_->fd()) {
        real_->onEvents(p.revents);
      } else {
        auto it = conns_.find(p.fd);
        if (it == conns_.end()) {
          serveH4(p);
          continue;
        }
        Connection& c = *it->second;
        bool alive = true;
        if (p.revents & POLLOUT) alive = flush(c);
        if (alive && (p.revents & (POLLIN | POLLHUP | POLLERR)))
          alive = c.tcp ? readStream(c) : readDatagrams(c, p.revents);
        if (!alive) closeConnection(p.fd);
      }
    }
    timers_.runDue();
  }
}

bool Server::onSignal(int signalFd, std::string& name) {
  signalfd_siginfo si;
  while (read(signalFd, &si, sizeof si) == ssize_t(sizeof si)) {
    if (si.ssi_signo == SIGUSR1) {
      logVerbose("SIGUSR1: FTM mode ends");
      for (auto& kv : conns_) {
        if (kv.second->model) kv.second->model->endFtmMode();  // lanes have none
      }
    } else {
      switch (si.ssi_signo) {
        case SIGINT: name = "SIGINT"; return true;
        case SIGTERM: name = "SIGTERM"; return true;
        case SIGHUP: name = "SIGHUP"; return true;
        case SIGQUIT: name = "SIGQUIT"; return true;
        default: break;
      }
    }
  }
  return false;
}

int Server::acceptOrShed(int listenFd) {
  int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0 && (errno == EMFILE || errno == ENFILE) && spareFd_.valid()) {
    // Out of descriptors: take the connection with the spare one and let it go at once,
    // so that the listening socket does not stay readable forever.
    logOnce("out of file descriptors: connections are refused");
    spareFd_.reset();
    const Fd shed(accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));  // closed at once
    spareFd_.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
    return -1;
  }
  return fd;
}

int Server::acceptServed(int listenFd, bool unixDomain, const char* endpoint, uid_t& uid) {
  Fd fd(acceptOrShed(listenFd));
  if (!fd.valid()) return kNoneWaiting;
  std::vector<gid_t> gids;
  const bool known = unixDomain ? unixPeer(fd.get(), uid, gids) : loopbackPeer(fd.get(), uid);
  if (known && policy_.allows(uid, gids)) return fd.release();
  // Once per user and endpoint, so that a client that keeps trying cannot flood the log.
  logOnce(std::string("refused a client of the ") + endpoint + " running as " +
          (known ? "uid " + std::to_string(uid) : std::string("an unknown user")) + ": only " + policy_.describe() +
          " are served");
  return kRefused;
}

void Server::acceptDevice(int listenFd, bool tcp) {
  for (int i = 0; i < kAcceptsPerPass; ++i) {
    uid_t uid = 0;
    const int accepted = acceptServed(listenFd, !tcp, tcp ? "TCP form" : "device socket", uid);
    if (accepted == kNoneWaiting) return;
    if (accepted < 0) {
      ++figures_.refused[REFUSED_UNTRUSTED];
      continue;
    }
    Fd socket(accepted);
    const int fd = accepted;
    size_t& count = connsPerUser_[uid];
    if (count >= kMaxConnectionsPerUser) {
      logOnce("too many device connections of uid " + std::to_string(uid) + " at once: new ones are closed");
      ++figures_.refused[REFUSED_LIMITS];
      continue;
    }
    ++count;
    if (tcp) {
      int one = 1;  // replies are small and answered at once: no coalescing delay
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    auto c = std::make_unique<Connection>();
    c->socket = std::move(socket);
    c->fd = fd;
    c->tcp = tcp;
    c->uid = uid;
    if (!tcp) c->pid = unixPeerPid(fd);
    c->tag = "conn " + std::to_string(nextConn_++);
    Connection* raw = c.get();
    if (real_ && real_->fd() < 0) {
      // Nothing can be served while the controller is not connected: the connection is
      // closed at once, so its requests fail with 1167 (device not connected), and its
      // place is given back.
      admit(raw, c->tag, true);
      ++figures_.refused[REFUSED_NOT_CONNECTED];
      --count;
      continue;
    }
    c->model = std::make_unique<DriverModel>(driverCfg_, timers_, [this, raw](Bytes m) { reply(*raw, std::move(m)); },
                                             c->tag);
    c->fresh = opt_.lanes;
    logVerbose(c->tag + ": opened" + (tcp ? " (TCP form)" : ""));
    conns_[fd] = std::move(c);
    ++figures_.connectionsOpened;
    if (raw->fresh) offerLane(*raw);
  }
}

// A client that knows no lanes ignores the offer, as it does any unknown kind. The token
// is drawn from the system's random source, so that no one can work it out from their own.
void Server::offerLane(Connection& c) {
  LaneToken token;
  token.size = kLaneTokenSize;
  do {
    if (!randomBytes(token.bytes, token.size)) {
      logOnce("the system's random source gives nothing: no lanes are offered");
      return;
    }
  } while (!token.Valid() || tokens_.count(token) != 0);
  c.token = token;
  tokens_[token] = c.fd;
  send(c, BuildDevchanOffer(token));
}

void Server::acceptH4() {
  for (int i = 0; i < kAcceptsPerPass; ++i) {
    uid_t uid = 0;
    const int accepted = acceptServed(h4Fd_.get(), false, "H4 port", uid);
    if (accepted == kNoneWaiting) return;
    if (accepted < 0) continue;
    Fd fd(accepted);
    if (h4_.count(uid) != 0) {
      logOnce("the H4 port serves one client per user at a time: another one is closed");
      continue;
    }
    auto slot = h4_.emplace(uid, nullptr).first;
    if (!admit(&slot->second, "the H4 client", false)) {
      h4_.erase(slot);
      continue;
    }
    int one = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    logVerbose("H4 client connected");
    slot->second = std::make_unique<H4Session>(std::move(fd), opt_.controller, timers_, driverCfg_.capture);
  }
}

void Server::serveH4(const pollfd& p) {
  for (auto it = h4_.begin(); it != h4_.end(); ++it) {
    H4Session& h = *it->second;
    if (h.fd() != p.fd) continue;
    bool alive = true;
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) alive = h.onReadable();
    if (alive && (p.revents & POLLOUT)) alive = h.onWritable();
    if (!alive) {
      logVerbose("H4 client gone");
      endH4(it);
    }
    return;
  }
}

void Server::reply(Connection& device, Bytes msg) {
  if (!device.routes.empty() && msg.size() >= 8) {
    auto route = device.routes.find(Le32(msg.data() + 4));
    if (route != device.routes.end()) {
      auto lane = conns_.find(route->second);
      if (Le32(msg.data()) == kMsgComplete) device.routes.erase(route);
      if (lane != conns_.end()) return send(*lane->second, std::move(msg));
    }
  }
  send(device, std::move(msg));
}

int Server::failedAttachesNow(FailedAttaches& f) {
  const TimePoint now = clock_.now();
  const auto forgiven = (now - f.since) / kForgiveAttach;
  if (forgiven >= f.count) {
    f.count = 0;
    f.since = now;
  } else {
    f.count -= int(forgiven);
    f.since += forgiven * kForgiveAttach;
  }
  return f.count;
}

bool Server::attach(Connection& c, const LaneToken& token) {
  // Clients whose failures have all been forgiven are forgotten.
  for (auto it = failedAttaches_.begin(); it != failedAttaches_.end();)
    it = failedAttachesNow(it->second) == 0 ? failedAttaches_.erase(it) : std::next(it);
  FailedAttaches& failed = failedAttaches_[{c.uid, c.pid}];
  if (failed.count == 0) failed.since = clock_.now();
  // A barred client's tries are not looked at, and not counted: they cannot guess.
  const bool barred = failed.count > kMaxFailedAttaches;
  auto device = barred ? tokens_.end() : tokens_.find(token);
  // Only a client of the same user as the device connection may add lanes to it.
  if (device == tokens_.end() || device->second == c.fd || conns_.at(device->second)->uid != c.uid) {
    ++figures_.laneAttachFailures;
    if (!barred && ++failed.count == kMaxFailedAttaches + 1) {
      logError("uid " + std::to_string(c.uid) + (c.pid != 0 ? " pid " + std::to_string(c.pid) : std::string()) +
               " presented " + std::to_string(failed.count) + " wrong lane tokens: its lanes are refused until one is "
               "forgiven, one each " + std::to_string(kForgiveAttach.count()) + " s");
    }
    return false;
  }
  if (failed.count == 0) failedAttaches_.erase({c.uid, c.pid});
  Connection& primary = *conns_.at(device->second);
  tokens_.erase(c.token);
  c.token = LaneToken();
  c.model.reset();
  c.primaryFd = primary.fd;
  primary.lanes.push_back(c.fd);
  logVerbose(c.tag + ": lane of " + primary.tag);
  send(c, BuildDevchanAttached());
  return true;
}

void Server::send(Connection& c, Bytes msg) {
  if (c.sendDead) return;
  if (c.tcp) msg = FrameDevchanMessage(msg);
  c.out.push_back(std::move(msg));
  if (c.out.size() == 1) flush(c);
}

bool Server::flush(Connection& c) {
  while (!c.out.empty() && !c.sendDead) {
    const Bytes& m = c.out.front();
    const ssize_t n = ::send(c.fd, m.data() + c.outOff, m.size() - c.outOff, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      // The client is gone; what it still sent is read until the end of the stream.
      c.sendDead = true;
      c.out.clear();
      c.outOff = 0;
      return true;
    }
    c.outOff += size_t(n);
    if (!c.tcp || c.outOff == m.size()) {
      c.out.pop_front();
      c.outOff = 0;
    }
  }
  return true;
}

bool Server::readDatagrams(Connection& c, short revents) {
  for (int i = 0; i < kDatagramsPerWake; ++i) {
    const ssize_t n = recv(c.fd, rxBuf_.data(), rxBuf_.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n == 0 && peerClosed(c.fd)) return false;  // else an empty datagram: malformed, dropped below
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ECONNRESET) {
        // Replies were left unread; the client's last datagrams may still wait behind
        // this error, so reading goes on until the end of the stream.
        c.sendDead = true;
        c.out.clear();
        if (++c.resets > kMaxResets) return false;
        continue;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) return !(revents & (POLLHUP | POLLERR)) || i > 0;
      return false;
    }
    if (size_t(n) > kMaxMessage) {
      logOnce("a datagram longer than " + std::to_string(kMaxMessage) + " bytes is dropped");
      continue;
    }
    dispatch(c, rxBuf_.data(), size_t(n));
    if (c.out.size() >= kOutBackpressure || !takesInput()) break;
  }
  return true;
}

bool Server::readStream(Connection& c) {
  const ssize_t n = recv(c.fd, rxBuf_.data(), rxBuf_.size(), MSG_DONTWAIT);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  c.in.insert(c.in.end(), rxBuf_.data(), rxBuf_.data() + n);
  size_t pos = 0;
  size_t len = 0;
  for (;;) {
    const DevchanFrame frame = NextDevchanFrame(c.in.data() + pos, c.in.size() - pos, kMaxMessage, &len);
    if (frame == DevchanFrame::TooLong) {
      logOnce("a TCP-form message longer than " + std::to_string(kMaxMessage) + " bytes: its connection is closed");
      return false;
    }
    if (frame == DevchanFrame::NeedMore) break;
    dispatch(c, c.in.data() + pos + kDevchanLengthSize, len);
    pos += kDevchanLengthSize + len;
  }
  c.in.erase(c.in.begin(), c.in.begin() + long(pos));
  return true;
}

void Server::dispatch(Connection& c, const uint8_t* data, size_t len) {
  if (c.fresh) {
    c.fresh = false;
    if (len >= 4 && Le32(data) == kMsgAttach) {
      if (!attach(c, DevchanAttachToken(data, len))) shutdown(c.fd, SHUT_RDWR);  // its end is read next
      return;
    }
  }
  Connection* device = &c;
  if (c.primaryFd >= 0) {
    auto primary = conns_.find(c.primaryFd);
    if (primary == conns_.end()) return;
    device = primary->second.get();
  }
  Request r;
  const ParseResult pr = ParseDevchanRequest(data, len, &r);
  if (pr != ParseResult::Ok) {
    logOnce(std::string("dropping ") + DevchanParseResultText(pr));
    return;
  }
  // Behind requests already held back, a request waits its turn.
  const Admission admission = device->held.empty() ? admitDevice(*device) : Admission::Wait;
  if (admission == Admission::Wait) {
    device->held.emplace_back(c.fd, Bytes(data, data + len));
    if (device->held.size() > kMaxHeldRequests) {
      device->graceOver = true;
      timers_.cancel(device);
      return replayHeld(device->fd);
    }
    if (!device->waiting) {
      device->waiting = true;
      logVerbose(device->tag + " waits for the controller's holder to go");
      const int fd = device->fd;
      timers_.add(kHolderGrace, device, [this, fd] {
        auto it = conns_.find(fd);
        if (it == conns_.end()) return;
        it->second->graceOver = true;
        replayHeld(fd);
      });
    }
    return;
  }
  if (admission == Admission::Refused) {
    // While another client holds the controller, each request is answered "in use" and the
    // connection it came on then ends (the reply and the end arrive in that order on one
    // socket); with the controller not connected the device closes and its requests fail
    // with 1167 (device not connected).
    if (controllerHeld() && r.kind == kMsgIoctl) {
      send(c, BuildDevchanComplete(r.id, kStatusInUse));
      shutdown(c.fd, SHUT_RDWR);  // its end is read next
    } else {
      shutdown(device->fd, SHUT_RDWR);  // its end is read next; its lanes close with it
    }
    return;
  }
  if (device != &c && r.kind == kMsgIoctl) device->routes[r.id] = c.fd;
  device->model->handle(r);
}

void Server::closeConnection(int fd) {
  auto it = conns_.find(fd);
  if (it == conns_.end()) return;
  Connection& c = *it->second;
  const void* who = it->second.get();
  --connsPerUser_[c.uid];
  if (c.primaryFd >= 0) {
    // A lane: replies still due to its requests go to the device connection instead.
    auto primary = conns_.find(c.primaryFd);
    if (primary != conns_.end()) {
      Connection& p = *primary->second;
      p.lanes.erase(std::remove(p.lanes.begin(), p.lanes.end(), fd), p.lanes.end());
      for (auto route = p.routes.begin(); route != p.routes.end();) {
        route = route->second == fd ? p.routes.erase(route) : std::next(route);
      }
    }
    logVerbose(c.tag + ": lane closed");
    conns_.erase(it);  // closes the lane
    release(who);
    return;
  }
  tokens_.erase(c.token);
  timers_.cancel(who);  // its grace, if it was waiting
  const std::vector<int> lanes = c.lanes;
  if (!c.refused && (c.admitted || !c.waiting)) {
    logVerbose(c.tag + ": closed with " + std::to_string(c.model->pendingCount()) + " requests pending");
    logLine(countsLine(c.tag, c.model->counts()));
  }
  conns_.erase(it);  // the driver state goes first: it drops its timers and pending requests
  release(who);
  for (int lane : lanes) closeConnection(lane);  // a device's lanes end with it
}

}  // namespace ftmd
