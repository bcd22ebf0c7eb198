// The bridge's shared state: the context record with its sockets and flags, the stop
// sequence and the final clean-up. Every part of the bridge is handed the record (or
// the part of it that it needs); none reaches for it.
#pragma once

#include "core/host_send.h"
#include "core/packet_tap.h"
#include "platform/platform.h"
#include "wire/net_address.h"

#include <atomic>
#include <mutex>
#include <vector>

// Driver types: 0 while no device is open.
enum { DRV_TYPE_NONE = 0, DRV_TYPE_ZELDROVE = 1, DRV_TYPE_BTFTMDRIVER = 2 };

struct FtmAppContext {
  std::atomic<int> exitFlag{};        // 1 = the program is stopping
  std::atomic<int> ftmModeEntered{};  // 1 = the enable-FTM request is pending
  std::atomic<HANDLE> hDriver{};      // NULL when closed, INVALID_HANDLE_VALUE after a failed open
  std::atomic<HANDLE> hFtmModeEvent{};
  std::atomic<HANDLE> ScoRxStartEvent{};
  std::atomic<HANDLE> hEventThread{};
  std::atomic<HANDLE> hAclThread{};
  std::atomic<HANDLE> hScoThread{};
  std::atomic<HANDLE> hFtmModeThread{};
  std::atomic<int> drvType{};
  OVERLAPPED overlapFtmModeasync{};
  OVERLAPPED overlapEventReadasync{};
  OVERLAPPED overlapCmdWriteasync{};
  OVERLAPPED overlapAclReadasync{};
  OVERLAPPED overlapAclWriteasync{};
  OVERLAPPED overlapScoReadasync{};
  OVERLAPPED overlapScoWriteasync{};
  DWORD ftmModeBytes{};
  DWORD eventBytesRead{};
  DWORD aclBytesRead{};
  DWORD scoBytesRead{};
  // The reader threads create the events of their read records while the main thread
  // may already be cleaning up; this lock orders those two touches of hEvent.
  std::mutex recordEventLock;
  std::atomic<SOCKET> listenSocket{INVALID_SOCKET};
  // Where test hosts may come: the address listened on (0.0.0.0, every local address, by
  // default) and the prefixes a host's address must be in (none: every address). Set
  // before the TCP server starts and only read after.
  NetAddress listenAddress;
  std::vector<NetPrefix> allowedHosts;
  PacketTap tap;                              // the run's capture, packet counts and drops
  HostSender host;                            // the test host's connection and its sender
  std::atomic<int> diagMode{1};               // 1 diag, 0 raw
  // The main thread selects an SCO interface for a packet while the event reader may
  // deselect at a link end: this lock makes each selection (the test against the current
  // interface, the driver request, the record and the gate) one step.
  std::mutex scoInterfaceLock;
  std::atomic<BYTE> currentScoInterface{0};  // SCO interface id last selected, 0 = none
  // Called on the main thread once the test host is connected, before the receive loop,
  // with hostConnectedArg (nullptr: nothing is told).
  void (*hostConnected)(FtmAppContext* ctx, void* arg) = nullptr;
  void* hostConnectedArg = nullptr;
  std::atomic<bool> portRefused{false};  // the host link could not bind its TCP port
};

// Fills the record: flags, the events of the write and FTM-mode records, the two
// events of the record, and installs stopHandler as the console control handler
// (nullptr installs none).
void InitiateStruct(FtmAppContext* ctx, PHANDLER_ROUTINE stopHandler);

// Sets the hEvent of one of the record's OVERLAPPED members in a way the clean-up sees.
void SetRecordEvent(FtmAppContext* ctx, OVERLAPPED* record, HANDLE event);

// The stop sequence: raise the exit flag, optionally open the SCO gate, cancel pending
// driver I/O, shut down and close both sockets, close the driver. Every socket and the
// driver handle is taken out of its variable before it is closed, so two stop sequences
// and the clean-up running at once close each of them exactly once.
void RunStopSequence(FtmAppContext* ctx, bool openScoGate);

// Releases every handle of the record in its fixed order, with its messages.
void CleanAllResources(FtmAppContext* ctx);

// Closes a socket variable once: whoever takes the socket out of it closes it.
// Returns true when this call closed it.
bool CloseSocketOnce(std::atomic<SOCKET>* socketVar, bool shutdownFirst);
