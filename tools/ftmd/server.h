// The event loop: the listening sockets, the device connections (Unix-domain datagrams
// or the TCP form), the H4 client, signals and timers.
#pragma once

#include <map>
#include <poll.h>
#include <memory>
#include <string>
#include <vector>

#include "driver_model.h"
#include "h4_session.h"
#include "listen_sockets.h"
#include "metrics.h"
#include "options.h"
#include "peers.h"
#include "real_controller.h"
#include "timers.h"

namespace ftmd {

class Server {
 public:
  explicit Server(const Options& opt);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  bool start(std::string& error);  // opens every listening socket
  std::string readyLine() const;
  // Serves until SIGINT, SIGTERM, SIGHUP or SIGQUIT arrives on `signalFd`; returns the
  // signal's name.
  std::string run(int signalFd);
  // With --metrics-dir: writes the metrics file now (the event loop also does every
  // kMetricsPeriod).
  void writeMetrics();
  // The real controller's packet counts ("" with the simulated one).
  std::string stopSummary() const {
    std::string text = real_ ? real_->counts() : "";
    if (capture_.named) text += (text.empty() ? "capture " : "; capture ") + capture_.path;
    return text;
  }

 private:
  struct Connection {
    Fd socket;    // closed when the connection goes
    int fd = -1;  // socket.get(): the connection's key in conns_
    bool tcp = false;
    uid_t uid = 0;
    pid_t pid = 0;  // the client's process (0 for the TCP form, which carries none)
    std::string tag;
    std::deque<Bytes> out;  // replies the socket has not taken yet (framed for TCP)
    size_t outOff = 0;      // bytes of out.front() already sent (TCP)
    Bytes in;               // TCP: bytes not yet making a whole message
    bool sendDead = false;  // the client cannot receive any more
    int resets = 0;
    bool admitted = false;  // it holds the controller
    bool refused = false;   // another one holds it: closing, nothing it sends is served
    // While another client holds the controller, what this one sends is held back (with the
    // connection each request came on) until the holder goes or kHolderGrace has passed.
    std::vector<std::pair<int, Bytes>> held;
    bool waiting = false;     // its grace has begun
    bool graceOver = false;   // the holder had its time: a request now is refused
    // Lanes. A device connection offers `token`; a new connection whose first datagram
    // presents it becomes a lane of that one (primaryFd), which then sends the replies
    // to each request on the connection the request came on (routes).
    LaneToken token;
    bool fresh = true;  // no datagram read yet
    int primaryFd = -1;
    std::vector<int> lanes;
    std::map<uint32_t, int> routes;  // request id -> lane fd
    // Last, so that it goes first: what it sends goes to the members above.
    std::unique_ptr<DriverModel> model;
  };

  void acceptDevice(int listenFd, bool tcp);
  void acceptH4();
  void serveH4(const pollfd& p);
  void send(Connection& c, Bytes msg);
  void reply(Connection& device, Bytes msg);  // on the lane the request came on, if any
  bool attach(Connection& c, const LaneToken& token);
  void offerLane(Connection& c);
  enum class Admission { Admitted, Wait, Refused };
  Admission admitDevice(Connection& device);
  void replayHeld(int deviceFd);
  void replayWaiting();
  bool flush(Connection& c);
  bool readDatagrams(Connection& c, short revents);
  bool readStream(Connection& c);
  void dispatch(Connection& c, const uint8_t* data, size_t len);
  void closeConnection(int fd);
  bool onSignal(int signalFd, std::string& name);
  int acceptOrShed(int listenFd);
  // Accepts the next client and names its user: its descriptor when ftmd serves it;
  // kRefused when it was closed at once (with one line), kNoneWaiting when nobody waits.
  int acceptServed(int listenFd, bool unixDomain, const char* endpoint, uid_t& uid);
  bool admit(const void* who, const std::string& tag, bool device);
  bool claimSim(const void* who, const std::string& tag, std::string& why);
  void finishGoneHolder(const Connection* asking);
  void release(const void* who);  // lets the controller go if `who` holds it
  bool controllerHeld() const;
  // False while the real controller holds all it may of its host's input.
  bool takesInput() const { return !real_ || real_->takesInput(); }
  using H4Sessions = std::map<uid_t, std::unique_ptr<H4Session>>;
  void endH4(H4Sessions::iterator it);

  Options opt_;
  DriverConfig driverCfg_;
  SteadyClock clock_;
  TimerQueue timers_{clock_};
  std::unique_ptr<RealController> real_;  // the one real controller, if any
  const void* simHolder_ = nullptr;        // who holds the simulated controller, if anyone
  std::string simHolderTag_;
  char replayKey_ = 0;  // the timer that replays held requests once the controller is free
  DeviceSocket device_;
  Fd tcpFd_;
  int tcpPort_ = 0;
  Fd h4Fd_;
  int h4Port_ = 0;
  Fd spareFd_;  // given up to take a connection when no descriptor is left
  unsigned nextConn_ = 1;
  PeerPolicy policy_;
  std::map<LaneToken, int> tokens_;  // offered token -> device connection fd
  // ATTACHes refused, per client: its user and process. Each is forgiven after a while.
  struct FailedAttaches {
    int count = 0;
    TimePoint since;  // when the last one was forgiven, or the first came
  };
  std::map<std::pair<uid_t, pid_t>, FailedAttaches> failedAttaches_;
  int failedAttachesNow(FailedAttaches& f);
  std::map<int, std::unique_ptr<Connection>> conns_;
  std::map<uid_t, size_t> connsPerUser_;
  H4Sessions h4_;  // one client per user
  Bytes rxBuf_;
  FtmdFigures figures_;  // the metrics' own counts; the controller's are read from it
  CaptureFile capture_;  // declared last: closed after every connection has gone
};

}  // namespace ftmd
