// The serial line's settings through the kernel's termios2, whose BOTHER rate takes any
// baud the driver accepts (3000000 and other rates without a Bnnn constant).
#include <asm/termbits.h>
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>

#include "transport.h"

namespace ftmd {

bool configureSerial(int fd, unsigned baud, bool rtscts, std::string& error) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) {
    error = std::string("not a serial line: ") + std::strerror(errno);
    return false;
  }
  // Raw mode: bytes pass unchanged both ways, reads return what is there.
  t.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
  t.c_oflag &= ~tcflag_t(OPOST);
  t.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB | CBAUD | (CBAUD << IBSHIFT) | CRTSCTS);
  t.c_cflag |= CS8 | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
  if (rtscts) t.c_cflag |= CRTSCTS;
  t.c_ispeed = baud;
  t.c_ospeed = baud;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (ioctl(fd, TCSETS2, &t) != 0) {
    error = "cannot set the line (" + std::to_string(baud) + " baud): " + std::strerror(errno);
    return false;
  }
  // A driver may round the rate or refuse flow control without failing the call.
  struct termios2 now;
  if (ioctl(fd, TCGETS2, &now) != 0 || (rtscts && !(now.c_cflag & CRTSCTS))) {
    error = "the driver does not take RTS/CTS flow control";
    return false;
  }
  if (now.c_ospeed != baud) {
    error = "the driver does not take " + std::to_string(baud) + " baud (it set " + std::to_string(now.c_ospeed) + ")";
    return false;
  }
  ioctl(fd, TCFLSH, TCIOFLUSH);  // nothing of an earlier user of the line
  return true;
}

bool readSerialSettings(int fd, SerialSettings& out) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  out.inSpeed = t.c_ispeed;
  out.outSpeed = t.c_ospeed;
  out.raw = !(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) && !(t.c_oflag & OPOST) &&
            !(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP)) && (t.c_cflag & CSIZE) == CS8 &&
            !(t.c_cflag & PARENB);
  out.rtscts = (t.c_cflag & CRTSCTS) != 0;
  out.clocal = (t.c_cflag & CLOCAL) != 0;
  return true;
}

}  // namespace ftmd
