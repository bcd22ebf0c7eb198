#include "sim_controller.h"

#include <algorithm>
#include <cstdio>

#include "log.h"

namespace ftmd {

namespace {

constexpr uint8_t kErrUnknownCommand = 0x01;
constexpr uint8_t kErrUnknownConnection = 0x02;
constexpr uint8_t kErrInvalidParameters = 0x12;
constexpr uint8_t kReasonLocalHost = 0x16;

Bytes event(uint8_t code, const Bytes& params) {
  Bytes e(2 + params.size());
  e[0] = code;
  e[1] = uint8_t(params.size());
  std::copy(params.begin(), params.end(), e.begin() + 2);
  return e;
}
}  // namespace

std::unique_ptr<Controller> makeController(const ControllerOptions& opt, ControllerHost& host) {
  if (opt.attachReal) return opt.attachReal(host);
  if (opt.kind == "sim") return std::make_unique<SimController>(opt, host);
  return nullptr;
}

bool parseBdaddr(const std::string& text, std::array<uint8_t, 6>& out) {
  unsigned v[6];
  char tail;
  if (text.size() != 17) return false;
  if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                  &tail) != 6)
    return false;
  for (int i = 0; i < 6; ++i) out[i] = uint8_t(v[5 - i]);
  return true;
}

SimController::SimController(const ControllerOptions& opt, ControllerHost& host)
    : opt_(opt), host_(host), name_(kSimName, kSimName + sizeof kSimName - 1) {}

void SimController::inquiry(const uint8_t* params, size_t plen) {
  // LAP (3 bytes), length in units of 1.28 s (1 to 0x30), number of responses.
  if (plen < 5 || params[3] < 1 || params[3] > 0x30) {
    commandStatus(kOpInquiry, kErrInvalidParameters);
    return;
  }
  commandStatus(kOpInquiry, 0);
  inquiring_ = true;
  // One remote device answers at once; the inquiry then ends without waiting out its length.
  later([this] {
    if (!inquiring_) return;
    Bytes p{1};
    const std::array<uint8_t, 6> peer = simPeerBdaddr(opt_.bdaddr);
    p.insert(p.end(), peer.begin(), peer.end());
    for (uint8_t b : {0x01, 0x00, 0x00, 0x0C, 0x01, 0x1F, 0x00, 0x00}) p.push_back(b);  // R1, class, clock offset
    host_.deliver(Channel::Event, event(kEvInquiryResult, p));
    inquiring_ = false;
    host_.deliver(Channel::Event, event(kEvInquiryComplete, {0}));
  });
}

void SimController::commandComplete(uint16_t op, const Bytes& ret) {
  Bytes p{1, uint8_t(op), uint8_t(op >> 8)};
  p.insert(p.end(), ret.begin(), ret.end());
  host_.deliver(Channel::Event, event(kEvCommandComplete, p));
}

void SimController::commandStatus(uint16_t op, uint8_t status) {
  host_.deliver(Channel::Event, event(kEvCommandStatus, {status, 1, uint8_t(op), uint8_t(op >> 8)}));
}

void SimController::later(std::function<void()> fn) {
  host_.after(std::chrono::milliseconds(kSimLinkSetupMs), std::move(fn));
}

uint16_t SimController::newHandle() {
  // Connection handles run from 0x0001 to 0x0EFF; skip those still open.
  for (int tries = 0; tries < 0x0EFF; ++tries) {
    uint16_t h = nextHandle_;
    nextHandle_ = nextHandle_ >= 0x0EFF ? 1 : uint16_t(nextHandle_ + 1);
    if (!links_.count(h)) return h;
  }
  return 0;
}

void SimController::command(const uint8_t* p, size_t n) {
  if (n < 3) return;
  const uint16_t op = Le16(p);
  const uint8_t* params = p + 3;
  const size_t plen = n - 3;

  switch (op) {
    case kOpReset:
      links_.clear();
      peers_.clear();
      jobs_.clear();
      leTest_ = LeTest::None;
      inquiring_ = false;
      name_.assign(kSimName, kSimName + sizeof kSimName - 1);
      commandComplete(op, {0});
      return;
    case kOpInquiry:
      inquiry(params, plen);
      return;
    case kOpInquiryCancel:
      inquiring_ = false;
      commandComplete(op, {0});
      return;
    case kOpWriteLocalName:
      if (plen < 1) {
        commandComplete(op, {kErrInvalidParameters});
        return;
      }
      name_.assign(params, params + std::min<size_t>(plen, kNameLength));
      commandComplete(op, {0});
      return;
    case kOpReadLocalName: {
      Bytes ret{0};
      ret.insert(ret.end(), name_.begin(), name_.end());
      ret.resize(1 + kNameLength, 0);
      commandComplete(op, ret);
      return;
    }
    case kOpSetEventMask:
    case kOpWriteScanEnable:
    case kOpEnableDutMode:
    case kOpWriteLoopbackMode:
      commandComplete(op, {0});
      return;
    case kOpLeReceiverTest:
    case kOpLeReceiverTestV2:
    case kOpLeTransmitterTest:
    case kOpLeTransmitterTestV2:
      leTest_ = (op == kOpLeReceiverTest || op == kOpLeReceiverTestV2) ? LeTest::Rx : LeTest::Tx;
      leStart_ = host_.now();
      commandComplete(op, {0});
      return;
    case kOpLeTestEnd: {
      uint32_t packets = 0;
      if (leTest_ == LeTest::Rx) {
        auto us = std::chrono::duration_cast<std::chrono::microseconds>(host_.now() -
                                                                        leStart_)
                      .count();
        packets = uint32_t(std::min<long long>(us / kSimLeRxPacketUs, 0xFFFF));
      }
      leTest_ = LeTest::None;
      commandComplete(op, {0, uint8_t(packets), uint8_t(packets >> 8)});
      return;
    }
    case kOpReadLocalVersion:
      commandComplete(op, {0, kSimHciVersion, uint8_t(kSimHciRevision), uint8_t(kSimHciRevision >> 8),
                           kSimHciVersion, uint8_t(kSimManufacturer), uint8_t(kSimManufacturer >> 8),
                           uint8_t(kSimLmpSubversion), uint8_t(kSimLmpSubversion >> 8)});
      return;
    case kOpReadBdAddr: {
      Bytes ret{0};
      ret.insert(ret.end(), opt_.bdaddr.begin(), opt_.bdaddr.end());
      commandComplete(op, ret);
      return;
    }
    case kOpReadBufferSize:
      commandComplete(op, {0, uint8_t(kSimAclMtu), uint8_t(kSimAclMtu >> 8), kSimScoMtu,
                           uint8_t(kSimAclBuffers), uint8_t(kSimAclBuffers >> 8), uint8_t(kSimScoBuffers),
                           uint8_t(kSimScoBuffers >> 8)});
      return;
    case kOpCreateConnection:
    case kOpSetupSyncConnection:
    case kOpAddScoConnection:
      openLink(op, params, plen);
      return;
    case kOpDisconnect: {
      const uint16_t h = plen >= 2 ? uint16_t(Le16(params) & 0x0FFF) : 0xFFFF;
      if (!links_.count(h)) {
        commandStatus(op, kErrUnknownConnection);
        return;
      }
      links_.erase(h);
      peers_.erase(h);
      jobs_.erase(std::remove_if(jobs_.begin(), jobs_.end(), [h](const Job& j) { return j.handle == h; }),
                  jobs_.end());
      commandStatus(op, 0);
      later([this, h] {
        host_.deliver(Channel::Event,
                      event(kEvDisconnectionComplete, {0, uint8_t(h), uint8_t(h >> 8), kReasonLocalHost}));
      });
      return;
    }
    case kOpVendorGenerateAcl:
    case kOpVendorGenerateSco:
      generate(op, params, plen);
      return;
    default:
      if ((op >> 10) == 0x3F)
        commandComplete(op, {0});  // every other vendor-specific command is accepted
      else
        commandComplete(op, {kErrUnknownCommand});
      return;
  }
}

void SimController::openLink(uint16_t op, const uint8_t* params, size_t plen) {
  std::array<uint8_t, 6> peer{};
  if (op == kOpCreateConnection) {
    if (plen >= 6) std::copy(params, params + 6, peer.begin());
  } else if (plen >= 2) {
    // A synchronous link rides on an ACL link: it reaches that link's peer.
    auto it = peers_.find(uint16_t(Le16(params) & 0x0FFF));
    if (it != peers_.end()) peer = it->second;
  }
  commandStatus(op, 0);
  const uint16_t h = newHandle();
  if (h == 0) return;  // every handle is in use; nothing more can be opened
  const bool acl = op == kOpCreateConnection;
  links_[h] = acl ? Link::Acl : Link::Sco;
  peers_[h] = peer;
  later([this, h, acl, peer] {
    Bytes p{0, uint8_t(h), uint8_t(h >> 8)};
    p.insert(p.end(), peer.begin(), peer.end());
    if (acl) {
      p.push_back(1);  // link type ACL
      p.push_back(0);  // encryption off
      host_.deliver(Channel::Event, event(kEvConnectionComplete, p));
    } else {
      p.push_back(0);  // link type SCO
      p.push_back(0);  // transmission interval
      p.push_back(0);  // retransmission window
      PutLe16(p, 60);  // rx packet length
      PutLe16(p, 60);  // tx packet length
      p.push_back(2);  // air mode CVSD
      host_.deliver(Channel::Event, event(kEvSyncConnectionComplete, p));
    }
  });
}

void SimController::generate(uint16_t op, const uint8_t* params, size_t plen) {
  const bool acl = op == kOpVendorGenerateAcl;
  if (plen < (acl ? 7u : 6u)) {
    commandComplete(op, {kErrInvalidParameters});
    return;
  }
  Job j;
  j.ch = acl ? Channel::Acl : Channel::Sco;
  j.handle = uint16_t(Le16(params) & 0x0FFF);
  j.left = Le16(params + 2);
  j.length = acl ? Le16(params + 4) : params[4];
  j.pattern = acl ? params[6] : params[5];
  auto it = links_.find(j.handle);
  if (it == links_.end() || it->second != (acl ? Link::Acl : Link::Sco)) {
    commandComplete(op, {kErrUnknownConnection});
    return;
  }
  if (j.length > (acl ? kSimAclMtu : kSimScoMtu)) {
    commandComplete(op, {kErrInvalidParameters});
    return;
  }
  commandComplete(op, {0});
  if (j.left) jobs_.push_back(j);
  pump();
}

void SimController::pump() {
  if (pumping_) return;
  pumping_ = true;
  while (!jobs_.empty()) {
    Job& j = jobs_.front();
    if (!host_.hasRoom(j.ch)) break;
    Bytes pkt;
    if (j.ch == Channel::Acl) {
      PutLe16(pkt, uint16_t(j.handle | 0x2000));  // first packet of a message
      PutLe16(pkt, j.length);
    } else {
      PutLe16(pkt, j.handle);
      pkt.push_back(uint8_t(j.length));
    }
    for (uint32_t i = 0; i < j.length; ++i) pkt.push_back(j.pattern ? j.pattern : uint8_t(i));
    const Channel ch = j.ch;
    if (--j.left == 0) jobs_.pop_front();
    host_.deliver(ch, std::move(pkt));
  }
  pumping_ = false;
}

std::string SimController::summary() const {
  if (!droppedAcl_ && !droppedSco_) return "";
  return "dropped " + std::to_string(droppedAcl_) + " ACL and " + std::to_string(droppedSco_) +
         " SCO packets for handles that were not open";
}

bool SimController::linkOpen(const uint8_t* p, Link kind, uint64_t& dropped, const char* what) {
  auto it = links_.find(uint16_t(Le16(p) & 0x0FFF));
  if (it != links_.end() && it->second == kind) return true;
  ++dropped;
  logOnce(std::string(what) + " data for a handle that is not open is dropped");
  return false;
}

void SimController::acl(const uint8_t* p, size_t n) {
  if (n < 4 || !linkOpen(p, Link::Acl, droppedAcl_, "ACL")) return;
  const uint16_t h = Le16(p) & 0x0FFF;
  host_.deliver(Channel::Acl, Bytes(p, p + n));
  host_.deliver(Channel::Event, event(kEvNumCompletedPackets, {1, uint8_t(h), uint8_t(h >> 8), 1, 0}));
}

void SimController::sco(const uint8_t* p, size_t n) {
  if (n < 3 || !linkOpen(p, Link::Sco, droppedSco_, "SCO")) return;
  host_.deliver(Channel::Sco, Bytes(p, p + n));
}

}  // namespace ftmd
