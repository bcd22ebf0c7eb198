// Where a real controller is: the --controller forms other than 'sim', and the opening
// of each (serial line, TCP connection, Unix stream socket, Linux HCI user channel).
// Every opener returns a non-blocking descriptor or one line that says what is wrong.
#pragma once

#include <string>
#include <sys/socket.h>

#include "fd.h"

namespace ftmd {

struct Transport {
  enum Kind { Serial, TcpClient, Unix, HciSocket };
  Kind kind = Serial;
  std::string path;       // serial device or Unix socket
  std::string host;       // tcp-client
  int port = 0;           // tcp-client
  unsigned baud = 115200; // serial
  bool rtscts = false;    // serial
  int hciIndex = 0;       // hci-socket
  long trustedUid = -1;   // unix: a user besides root and ftmd's own whose server is taken
  std::string text;       // as given on the command line
};

// Parses serial:DEVICE[,BAUD][,rtscts], tcp-client:HOST:PORT, unix:PATH, hci-socket:N.
// Returns "" or what is wrong.
std::string parseTransport(const std::string& text, Transport& out);

struct TransportFd {
  Fd fd;
  // Each read gives one whole packet and each write must carry one (the HCI socket);
  // otherwise a byte stream.
  bool packets = false;
  std::string error;  // when fd is not valid
};

TransportFd openTransport(const Transport& transport);

// The serial line's settings (serial_line.cpp, apart because it uses the kernel's
// termios2, which clashes with the C library's termios).
struct SerialSettings {
  unsigned inSpeed = 0, outSpeed = 0;
  bool raw = false;     // no canonical mode, echo, signals, output processing; 8 bits
  bool rtscts = false;
  bool clocal = false;  // modem lines ignored
};
// Raw mode, the given rate (any rate the driver accepts), RTS/CTS when asked.
bool configureSerial(int fd, unsigned baud, bool rtscts, std::string& error);
bool readSerialSettings(int fd, SerialSettings& out);

// The HCI user channel, with the two calls that can fail put behind a seam so that their
// failures can be checked on a kernel without Bluetooth sockets.
struct HciSocketCalls {
  int (*socket)(int domain, int type, int protocol);
  int (*bind)(int fd, const sockaddr* addr, socklen_t len);
};
extern const HciSocketCalls kSystemHciCalls;
TransportFd openHciSocket(int index, const HciSocketCalls& calls = kSystemHciCalls);
// The line for a failed socket() (bindStep false) or bind() of hciN.
std::string hciSocketError(bool bindStep, int err, int index);

}  // namespace ftmd
