// The simulated controller: answers HCI commands, opens and closes simulated links, loops
// data on open links back as a remote device would, and generates remote traffic on a
// vendor command.
#pragma once

#include <deque>
#include <map>

#include "controller.h"
#include "wire/hci.h"

namespace ftmd {

// Vendor opcodes of the simulated controller; the standard ones are in wire/hci.h.
enum : uint16_t {
  kOpVendorGenerateAcl = 0xFC01,
  kOpVendorGenerateSco = 0xFC02,
};

// Values the simulated controller reports.
constexpr uint16_t kSimAclMtu = 1021;
constexpr uint8_t kSimScoMtu = 144;
constexpr uint16_t kSimAclBuffers = 8;
constexpr uint16_t kSimScoBuffers = 4;
constexpr uint8_t kSimHciVersion = 0x0C;
constexpr uint16_t kSimHciRevision = 0x0001;
constexpr uint16_t kSimManufacturer = 0xFFFF;  // the identifier reserved for tests
constexpr uint16_t kSimLmpSubversion = 0x0001;
constexpr int kSimLinkSetupMs = 2;     // delay of Connection Complete and the like
constexpr int kSimLeRxPacketUs = 1250;  // one test packet heard per 1.25 ms in a receiver test
constexpr char kSimName[] = "ftmd simulated controller";  // the local name after a reset

// The one remote device an inquiry finds: the controller's own address with its lowest
// byte plus one.
inline std::array<uint8_t, 6> simPeerBdaddr(std::array<uint8_t, 6> own) {
  own[0] = uint8_t(own[0] + 1);
  return own;
}

class SimController : public Controller {
 public:
  SimController(const ControllerOptions& opt, ControllerHost& host);
  void command(const uint8_t* p, size_t n) override;
  void acl(const uint8_t* p, size_t n) override;
  void sco(const uint8_t* p, size_t n) override;
  void resume() override { pump(); }
  std::string summary() const override;

  uint64_t droppedAcl() const { return droppedAcl_; }
  uint64_t droppedSco() const { return droppedSco_; }

 private:
  enum class Link { Acl, Sco };
  struct Job {  // packets still to generate on behalf of the remote device
    Channel ch;
    uint16_t handle;
    uint32_t left;
    uint16_t length;
    uint8_t pattern;
  };

  void commandComplete(uint16_t op, const Bytes& ret);
  void commandStatus(uint16_t op, uint8_t status);
  void later(std::function<void()> fn);
  uint16_t newHandle();
  void inquiry(const uint8_t* params, size_t n);
  void openLink(uint16_t op, const uint8_t* params, size_t n);
  void generate(uint16_t op, const uint8_t* params, size_t n);
  void pump();
  bool linkOpen(const uint8_t* p, Link kind, uint64_t& dropped, const char* what);

  ControllerOptions opt_;
  ControllerHost& host_;
  std::map<uint16_t, Link> links_;
  std::map<uint16_t, std::array<uint8_t, 6>> peers_;
  uint16_t nextHandle_ = 1;
  std::deque<Job> jobs_;
  bool pumping_ = false;
  enum class LeTest { None, Rx, Tx } leTest_ = LeTest::None;
  static constexpr size_t kNameLength = 248;
  Bytes name_;
  bool inquiring_ = false;
  std::chrono::steady_clock::time_point leStart_;
  uint64_t droppedAcl_ = 0;
  uint64_t droppedSco_ = 0;
};

}  // namespace ftmd
