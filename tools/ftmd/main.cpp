// ftmd: a user-space FTM driver. It serves the driver device over the device channel
// and puts a controller (the simulated one or a real one) behind it.
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "log.h"
#include "options.h"
#include "server.h"
#include "wire/version.h"

namespace {
// Tells the service manager that started ftmd (a systemd unit of Type=notify) what it is
// doing: one datagram to $NOTIFY_SOCKET, a path or, after '@', an abstract name. Without
// the variable there is nobody to tell.
void notifyServiceManager(const std::string& state) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr || (name[0] != '/' && name[0] != '@')) return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const size_t len = std::strlen(name);
  if (len > sizeof addr.sun_path - (name[0] == '/')) {
    ftmd::logError("NOTIFY_SOCKET is too long for a socket address");
    return;
  }
  std::memcpy(addr.sun_path, name, len);
  if (name[0] == '@') addr.sun_path[0] = '\0';
  const ftmd::Fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd.valid() || sendto(fd.get(), state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
                            socklen_t(offsetof(sockaddr_un, sun_path) + len)) < 0)
    ftmd::logError("cannot tell the service manager " + state.substr(0, state.find('\n')) + " on " + name + ": " +
                   std::strerror(errno));
}
}  // namespace

int main(int argc, char** argv) {
  using namespace ftmd;
  Options opt;
  const std::string err = parseOptions(argc, argv, opt);
  if (!err.empty()) {
    std::fprintf(stderr, "ftmd: %s\nTry 'ftmd --help'.\n", err.c_str());
    return 2;
  }
  if (opt.version && !opt.help) {
    std::printf("ftmd %s\n", TarnexioVersion());
    return 0;
  }
  if (opt.help) {
    std::fputs(usageText().c_str(), stdout);
    return 0;
  }
  setVerbose(opt.verbose);

  // Signals arrive through a descriptor of the event loop, never asynchronously.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGQUIT);
  sigaddset(&set, SIGUSR1);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  const Fd sfd(signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!sfd.valid()) {
    logError("cannot create the signal descriptor");
    return 1;
  }

  logLine(std::string("starting, version ") + TarnexioVersion() + ", pid " + std::to_string(getpid()) + ", type " + std::to_string(opt.type) + ", controller " +
          opt.controller.kind);
  std::string reason, summary;
  {
    Server server(opt);
    std::string error;
    if (!server.start(error)) {
      logError(error);
      return 1;
    }
    logLine(server.readyLine());
    notifyServiceManager("READY=1\nSTATUS=" + server.readyLine());
    reason = server.run(sfd.get());
    notifyServiceManager("STOPPING=1");
    server.writeMetrics();  // the figures at exit
    summary = server.stopSummary();
  }  // the socket file goes with the server
  logLine("stopped on " + reason + (summary.empty() ? "" : "; " + summary));
  return reason == "error" ? 1 : 0;
}
