#include "options.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

#include "wire/device_dir.h"

#include "wire/ftm_contract.h"

namespace ftmd {

namespace {
bool parseUnsigned(const std::string& s, unsigned long max, unsigned long& out) {
  if (s.empty() || s.size() > 10) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  out = std::strtoul(s.c_str(), nullptr, 10);
  return out <= max;
}

// A user's name, or a uid as a number.
bool parseUser(const std::string& s, unsigned long& uid) {
  if (parseUnsigned(s, 0xFFFFFFFEul, uid)) return true;
  const passwd* pw = getpwnam(s.c_str());
  if (pw == nullptr) return false;
  uid = pw->pw_uid;
  return true;
}
}  // namespace

std::string usageText() {
  return "Usage: ftmd [options]\n"
         "Serves an FTM driver device over the device channel, with a simulated or a real controller behind it.\n"
         "\n"
         "  --type N           driver type: 1 serves " WIRE_TYPE1_DEVICE_NAME " (default), 2 serves " WIRE_TYPE2_DEVICE_NAME "\n"
         "  --dir DIR          directory of the device socket (default: $TARNEXIO_DEVICE_DIR, else\n"
         "                     $XDG_RUNTIME_DIR/tarnexio, else /run/tarnexio for root and\n"
         "                     /tmp/tarnexio-UID for other users)\n"
         "  --group NAME       also serve the members of group NAME (socket 0660, directory 0750)\n"
         "  --bt-on            behave as if Bluetooth were on: refuse FTM mode with error 22\n"
         "  --ftm-seconds N    end FTM mode N seconds after it starts (default: only on SIGUSR1)\n"
         "  --controller WHERE the controller behind the device:\n"
         "                       sim                            the simulated controller (default)\n"
         "                       serial:DEVICE[,BAUD][,rtscts]  H4 over a serial line (115200, no flow\n"
         "                                                      control unless given)\n"
         "                       tcp-client:HOST:PORT           H4 over a TCP connection ftmd opens\n"
         "                       unix:PATH                      H4 over a Unix stream socket\n"
         "                       hci-socket:N                   the HCI user channel of hciN (Linux)\n"
         "  --controller-user USER  with unix:PATH: also take a server that runs as USER (a name or\n"
         "                     a uid); by default only root's or ftmd's own user's is taken\n"
         "  --reset            with a real controller: send HCI_Reset each time its traffic starts\n"
         "                     (FTM mode, a type 2 connection, an H4 client)\n"
         "  --bdaddr ADDR      BD_ADDR of the simulated controller, as XX:XX:XX:XX:XX:XX\n"
         "                     (default 12:34:56:78:9A:BC)\n"
         "  --tcp PORT         also serve the device channel's TCP form on 127.0.0.1:PORT\n"
         "                     (0 picks a free port; the ready line names it)\n"
         "  --h4 PORT          also serve the controller as an H4 byte stream on 127.0.0.1:PORT,\n"
         "                     one client per user at a time (0 picks a free port)\n"
         "  --btsnoop FILE     capture every HCI packet between the clients and their controllers\n"
         "  --capture FILE     in FILE: pcap when it ends in .pcap, pcapng in .pcapng, else btsnoop;\n"
         "                     an existing file of ftmd's user is replaced; in a directory, a new\n"
         "                     file for each run; a FIFO is written live once a reader opens it\n"
         "  --metrics-dir DIR  keep the file tarnexio_ftmd.prom in DIR for Prometheus's textfile\n"
         "                     collector, rewritten every few seconds and at exit (empty: none)\n"
         "  --no-lanes         do not offer lanes (every request's replies on its device\n"
         "                     connection, as a server that knows no lanes)\n"
         "  --pend-always      answer every read and write PENDING first, also when its data\n"
         "                     is already queued or the controller takes the write at once\n"
         "  -v, --verbose      log every request and completion on one line each\n"
         "  -h, --help         show this text and exit\n"
         "  --version          print the version and exit\n"
         "\n"
         "Signals: SIGUSR1 ends FTM mode (the enable-FTM requests complete with success);\n"
         "SIGINT, SIGTERM, SIGHUP and SIGQUIT stop ftmd and remove its socket.\n"
         "Only ftmd's own user and root (and the --group) are served, on every endpoint.\n";
}

std::string parseOptions(int argc, char** argv, Options& o) {
  long trustedUid = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string& v) {
      if (i + 1 >= argc) return false;
      v = argv[++i];
      return true;
    };
    std::string v;
    unsigned long n = 0;
    if (a == "-h" || a == "--help") {
      o.help = true;
    } else if (a == "--version") {
      o.version = true;
    } else if (a == "-v" || a == "--verbose") {
      o.verbose = true;
    } else if (a == "--no-lanes") {
      o.lanes = false;
    } else if (a == "--pend-always") {
      o.pendAlways = true;
    } else if (a == "--bt-on") {
      o.btOn = true;
    } else if (a == "--type") {
      if (!value(v) || (v != "1" && v != "2")) return "--type takes 1 or 2";
      o.type = v[0] - '0';
    } else if (a == "--dir") {
      if (!value(v) || v.empty()) return "--dir takes a directory";
      o.dir = v;
    } else if (a == "--group") {
      if (!value(v) || v.empty()) return "--group takes a group name";
      o.group = v;
    } else if (a == "--ftm-seconds") {
      if (!value(v) || !parseUnsigned(v, 86400u * 365, n) || n == 0) return "--ftm-seconds takes a number of seconds above 0";
      o.ftmSeconds = unsigned(n);
    } else if (a == "--controller") {
      if (!value(v)) return "--controller takes sim or a transport";
      if (v != "sim") {
        const std::string bad = parseTransport(v, o.transport);
        if (!bad.empty()) return bad;
      }
      o.controller.kind = v;
    } else if (a == "--controller-user") {
      if (!value(v) || !parseUser(v, n)) return "--controller-user takes a user name or uid";
      trustedUid = long(n);
    } else if (a == "--reset") {
      o.resetController = true;
    } else if (a == "--bdaddr") {
      if (!value(v) || !parseBdaddr(v, o.controller.bdaddr)) return "--bdaddr takes an address as XX:XX:XX:XX:XX:XX";
    } else if (a == "--btsnoop" || a == "--capture") {
      if (!value(v) || v.empty()) return a + " takes a file name";
      o.btsnoop = v;
    } else if (a == "--metrics-dir") {
      // Empty is allowed and means none, so that a unit can always pass its setting.
      if (!value(v)) return "--metrics-dir takes a directory (empty: none)";
      o.metricsDir = v;
    } else if (a == "--tcp" || a == "--h4") {
      if (!value(v) || !parseUnsigned(v, 65535, n)) return a + " takes a port number (0 to 65535)";
      (a == "--tcp" ? o.tcpPort : o.h4Port) = int(n);
    } else {
      return "unknown option '" + a + "'";
    }
  }
  o.transport.trustedUid = trustedUid;
  return "";
}

std::string deviceName(int type) { return type == 2 ? wire::kType2DeviceName : wire::kType1DeviceName; }

std::string deviceDir(const Options& o) {
  if (!o.dir.empty()) return o.dir;
  const char* env = std::getenv("TARNEXIO_DEVICE_DIR");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return DeviceDirectory(env ? env : "", runtime ? runtime : "", geteuid());
}

}  // namespace ftmd
