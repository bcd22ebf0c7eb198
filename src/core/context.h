// The bridge's shared state: the context record with its sockets and flags, the stop
// sequence and the final clean-up. Every part of the bridge is handed the record (or
// the part of it that it needs); none reaches for it.
#pragma once

#include "core/host_send.h"
#include "core/packet_tap.h"
#include "platform/platform.h"
#include "wire/locks.h"
#include "wire/net_address.h"

#include <atomic>
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
  Mutex scoInterfaceLock;
  // SCO interface id last selected, 0 = none. The SCO reader alone reads it without the
  // lock (ScoInterfaceForRead).
  std::atomic<BYTE> currentScoInterface TARNEXIO_GUARDED_BY(scoInterfaceLock){0};
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

// Sets the hEvent of one of the record's OVERLAPPED members. Each record's event belongs
// to the one thread that makes its requests; the main thread sets it before that thread
// starts or closes it after that thread has ended (CleanAllResources).
void SetRecordEvent(FtmAppContext* ctx, OVERLAPPED* record, HANDLE event);

// The interface the SCO reader sizes a read by, read without scoInterfaceLock once per
// read after the gate let it through: a selection changes it whole, and a read sized by
// the interface just left is what a read started a moment earlier would be.
inline BYTE ScoInterfaceForRead(const FtmAppContext* ctx) TARNEXIO_NO_THREAD_SAFETY_ANALYSIS {
  return ctx->currentScoInterface.load();
}

// The stop sequence: raise the exit flag, optionally open the SCO gate, cancel pending
// driver I/O, shut down and close both sockets, close the driver. Every socket and the
// driver handle is taken out of its variable before it is closed, so two stop sequences
// and the clean-up running at once close each of them exactly once.
void RunStopSequence(FtmAppContext* ctx, bool openScoGate);

// How long the clean-up waits for a thread of the run to end once the driver is closed.
enum { READER_END_WAIT_MS = 5000 };

// Waits, bounded, for the readers and the FTM mode thread to end (the SCO gate is opened
// for a reader waiting on it).
void AwaitReaders(FtmAppContext* ctx);

// Releases every handle of the record in its fixed order, with its messages. The readers
// and the FTM mode thread are waited for (bounded) once the driver is closed, before the
// events of their records are closed: the event of a thread that did not end is left open,
// since that thread may still issue a request with it or wait on it.
void CleanAllResources(FtmAppContext* ctx);

// Closes a socket variable once: whoever takes the socket out of it closes it.
// Returns true when this call closed it.
bool CloseSocketOnce(std::atomic<SOCKET>* socketVar, bool shutdownFirst);
