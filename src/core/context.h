// The bridge's shared state: the context record with its sockets and flags, the records
// of the driver, of each thread's driver requests and of the SCO selection, the stop
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

// The driver of the run: its handle and its type. Main opens it; the stop sequence or the
// clean-up takes the handle out before it closes it.
struct DriverRecord {
  std::atomic<HANDLE> hDriver{};  // NULL when closed, INVALID_HANDLE_VALUE after a failed open
  std::atomic<int> drvType{};     // DRV_TYPE_*
};

// A thread of the run that keeps a driver request of its own pending: one of the three
// readers or the FTM mode thread. The event of its OVERLAPPED record (overlap.hEvent)
// belongs to that thread: it is set before the thread's first request and closed only
// once the thread has ended (CleanAllResources).
struct ReaderRecord {
  std::atomic<HANDLE> thread{};  // set by main when it starts the thread
  OVERLAPPED overlap{};          // the record of the thread's requests
  DWORD bytes{};                 // the byte count of its last request
};

// The FTM mode thread: its request, and how it tells main that FTM mode is on. The flag
// goes up before the event is set.
struct FtmModeRecord {
  ReaderRecord reader;
  std::atomic<HANDLE> hFtmModeEvent{};  // set once the enable-FTM request is pending or over
  std::atomic<int> ftmModeEntered{};    // 1 = the enable-FTM request is pending
};

// The OVERLAPPED records of the main thread's three writes, each with its event.
struct WriteRecords {
  OVERLAPPED command{};
  OVERLAPPED acl{};
  OVERLAPPED sco{};
};

// The SCO selection: the interface selected in the driver and the gate that lets the SCO
// reader read. The main thread selects an SCO interface for a packet while the event
// reader may deselect at a link end: scoInterfaceLock makes each selection (the test
// against the current interface, the driver request, the record and the gate) one step.
struct ScoSelection {
  Mutex scoInterfaceLock;
  // SCO interface id last selected, 0 = none. The SCO reader alone reads it without the
  // lock (ScoInterfaceForRead).
  std::atomic<BYTE> currentScoInterface TARNEXIO_GUARDED_BY(scoInterfaceLock){0};
  std::atomic<HANDLE> ScoRxStartEvent{};  // the gate: set while the SCO reader may read
};

// The run's record: one place owns the records of the driver, of each thread that makes
// driver requests and of the SCO selection, beside what the whole run shares.
struct FtmAppContext {
  std::atomic<int> exitFlag{};  // 1 = the program is stopping
  DriverRecord driver;
  FtmModeRecord ftmMode;
  ReaderRecord eventReader;
  ReaderRecord aclReader;
  ReaderRecord scoReader;
  WriteRecords writes;  // the main thread's
  ScoSelection sco;
  std::atomic<SOCKET> listenSocket{INVALID_SOCKET};
  // Where test hosts may come: the address listened on (0.0.0.0, every local address, by
  // default) and the prefixes a host's address must be in (none: every address). Set
  // before the TCP server starts and only read after.
  NetAddress listenAddress;
  std::vector<NetPrefix> allowedHosts;
  PacketTap tap;                 // the run's capture, packet counts and drops
  HostSender host;               // the test host's connection and its sender
  std::atomic<int> diagMode{1};  // 1 diag, 0 raw
  // Called on the main thread once the test host is connected, before the receive loop,
  // with hostConnectedArg (nullptr: nothing is told).
  void (*hostConnected)(FtmAppContext* ctx, void* arg) = nullptr;
  void* hostConnectedArg = nullptr;
  std::atomic<bool> portRefused{false};  // the host link could not bind its TCP port
};

// Fills the record: flags, the events of the write and FTM mode records, the FTM mode
// event and the SCO gate, and installs stopHandler as the console control handler
// (nullptr installs none).
void InitiateStruct(FtmAppContext* ctx, PHANDLER_ROUTINE stopHandler);

// Sets the hEvent of an OVERLAPPED record of the context record. Each record's event
// belongs to the one thread that makes its requests; the main thread sets it before that
// thread starts or closes it after that thread has ended (CleanAllResources).
void SetRecordEvent(OVERLAPPED* record, HANDLE event);

// The interface the SCO reader sizes a read by, read without scoInterfaceLock once per
// read after the gate let it through: a selection changes it whole, and a read sized by
// the interface just left is what a read started a moment earlier would be.
inline BYTE ScoInterfaceForRead(const ScoSelection* sco) TARNEXIO_NO_THREAD_SAFETY_ANALYSIS {
  return sco->currentScoInterface.load();
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
