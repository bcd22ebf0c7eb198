// The controller behind ftmd: HCI commands, ACL and SCO data go in; events, ACL and SCO
// data come out through the host it was made for. Packets carry no H4 type byte.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "protocol.h"

namespace ftmd {

enum class Channel { Event = 0, Acl = 1, Sco = 2 };

// What a controller may ask of the side that serves it (a driver connection or an H4 client).
class ControllerHost {
 public:
  virtual ~ControllerHost() = default;
  // False while the host cannot take another packet of this channel; the controller then
  // holds back what it can hold back and waits for resume().
  virtual bool hasRoom(Channel ch) const = 0;
  // One packet from the controller. A host without room drops it (and says so once).
  virtual void deliver(Channel ch, Bytes packet) = 0;
  // Runs `fn` after `delay`, unless the controller is gone by then.
  virtual void after(std::chrono::milliseconds delay, std::function<void()> fn) = 0;
  // The time on the clock that the host's timers run on.
  virtual std::chrono::steady_clock::time_point now() const { return std::chrono::steady_clock::now(); }
  // A real controller's transport is gone; the controller this host holds takes nothing
  // more. The host completes what waits on it.
  virtual void controllerLost() {}
};

struct ControllerOptions {
  std::string kind = "sim";
  std::array<uint8_t, 6> bdaddr{{0xBC, 0x9A, 0x78, 0x56, 0x34, 0x12}};  // 12:34:56:78:9A:BC, wire order
  // Set for a real controller (kind other than "sim"): starts its traffic for a host, or
  // gives null while its transport is down.
  std::function<std::unique_ptr<class Controller>(ControllerHost&)> attachReal;
};

class Controller {
 public:
  virtual ~Controller() = default;
  virtual void command(const uint8_t* p, size_t n) = 0;  // opcode(2), length(1), parameters
  virtual void acl(const uint8_t* p, size_t n) = 0;      // handle+flags(2), length(2), data
  virtual void sco(const uint8_t* p, size_t n) = 0;      // handle+flags(2), length(1), data
  // The host has room again after having had none.
  virtual void resume() = 0;
  // False while the controller holds as much of the host's input as it may (a real
  // controller while its reset runs): the host then leaves its input unread.
  virtual bool takesInput() const { return true; }
  // What the controller dropped, for the log when its connection ends ("" when nothing).
  virtual std::string summary() const { return ""; }
};

std::unique_ptr<Controller> makeController(const ControllerOptions& opt, ControllerHost& host);

// Parses "XX:XX:XX:XX:XX:XX" into wire order (least significant byte first).
bool parseBdaddr(const std::string& text, std::array<uint8_t, 6>& out);

}  // namespace ftmd
