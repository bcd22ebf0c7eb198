// ftmd's command line.
#pragma once

#include <string>

#include "controller.h"
#include "transport.h"

namespace ftmd {

struct Options {
  int type = 1;
  std::string dir;    // empty: the shared rule (TARNEXIO_DEVICE_DIR, XDG_RUNTIME_DIR, uid)
  std::string group;  // empty: only ftmd's own user and root are served
  bool btOn = false;
  unsigned ftmSeconds = 0;
  ControllerOptions controller;
  Transport transport;  // when controller.kind is not "sim"
  bool resetController = false;  // --reset
  bool verbose = false;
  bool lanes = true;  // offer lanes on Unix-domain connections
  bool pendAlways = false;  // --pend-always: reads and writes always answer PENDING first
  int tcpPort = -1;  // -1: off; 0: any free port
  int h4Port = -1;
  std::string btsnoop;  // empty: no capture
  std::string metricsDir;  // empty: no metrics file
  bool help = false;
  bool version = false;  // --version
};

// Returns an empty string on success, else what is wrong with the command line.
std::string parseOptions(int argc, char** argv, Options& out);
std::string usageText();

std::string deviceName(int type);  // ZELDROVE or btftmdriver
std::string deviceDir(const Options& o);

}  // namespace ftmd
