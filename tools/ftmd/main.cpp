// ftmd: a user-space FTM driver. It serves the driver device over the device channel
// and puts a controller (the simulated one or a real one) behind it.
#include <csignal>
#include <cstdio>
#include <sys/signalfd.h>
#include <unistd.h>

#include "log.h"
#include "options.h"
#include "server.h"
#include "wire/version.h"

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
    reason = server.run(sfd.get());
    server.writeMetrics();  // the figures at exit
    summary = server.stopSummary();
  }  // the socket file goes with the server
  logLine("stopped on " + reason + (summary.empty() ? "" : "; " + summary));
  return reason == "error" ? 1 : 0;
}
