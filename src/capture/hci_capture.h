// Writing a capture of HCI packets (btsnoop, pcap or pcapng): one record per packet.
//
// To a file, each record is written whole by one write and flushed at once, under one
// lock, so that a crash or a kill loses nothing captured before it and the records of
// different threads never mix. A failed write stops the capture for good and is reported
// once, to the caller of that write.
//
// To a pipe (a FIFO, a named pipe), nothing waits for the reader: records are taken while
// a reader is there, in the order of the calls, into a queue of bounded size that a writer
// thread of the capture empties; a record that finds the queue full is lost and counted.
// A reader that comes gets the file header first; a reader that leaves is said, and the
// capture waits for the next one.
#pragma once

#include "wire/btsnoop.h"
#include "wire/capture_name.h"
#include "wire/locks.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// Where a capture's bytes go.
struct CaptureSink {
  void* context = nullptr;
  // Writes what it can of data within timeoutMs (a file: all of it): the count written, 0
  // when nothing could go in that time, or a negative error number (-EPIPE: no reader).
  long (*write)(void* context, const uint8_t* data, size_t length, int timeoutMs) = nullptr;
  // A pipe's only: 0 once a reader is there, EAGAIN when none came within timeoutMs, or an
  // error number. Null for a file.
  int (*awaitReader)(void* context, int timeoutMs) = nullptr;
  // A pipe's only: lets the reader that left go, to wait for the next one.
  void (*dropReader)(void* context) = nullptr;
  void (*close)(void* context) = nullptr;
  // When set, closes a file that holds no record in place of close (a file made for this
  // run alone may go again then).
  void (*closeEmpty)(void* context) = nullptr;
};

// A file opened for binary writing as a sink (unbuffered: each write reaches the system in
// one call).
CaptureSink CaptureSinkOfFile(std::FILE* file);

// What happens to a pipe, said by the capture's writer thread.
enum CapturePipeEvent {
  CAPTURE_READER_CAME,
  CAPTURE_READER_LEFT,
};

struct HciCapture {
  HciCapture() = default;
  HciCapture(const HciCapture&) = delete;
  HciCapture& operator=(const HciCapture&) = delete;
  ~HciCapture();  // a pipe's writer still running is stopped and waited for

  Mutex lock;
  std::atomic<bool> capturing{false};
  // Set by the start under lock, and only read while a pipe's writer runs: the writer
  // reads them without the lock.
  CaptureFormat format = CAPTURE_BTSNOOP;
  CaptureSink sink;
  std::string application;
  bool pipe = false;
  int64_t startMicros = 0;
  bool open TARNEXIO_GUARDED_BY(lock) = false;
  std::vector<uint8_t> record TARNEXIO_GUARDED_BY(lock);  // the record being made
  // Records taken: written to a file, queued for a pipe.
  uint64_t records TARNEXIO_GUARDED_BY(lock) = 0;
  uint64_t lost TARNEXIO_GUARDED_BY(lock) = 0;  // records lost to a slow reader
  // A pipe.
  bool readerThere TARNEXIO_GUARDED_BY(lock) = false;
  bool stopping TARNEXIO_GUARDED_BY(lock) = false;
  // With stopping: the writer gives up then.
  std::chrono::steady_clock::time_point stopBy TARNEXIO_GUARDED_BY(lock);
  uint64_t endDrops TARNEXIO_GUARDED_BY(lock) = 0;  // given to the stop, for the end of the capture
  std::deque<std::vector<uint8_t>> queue TARNEXIO_GUARDED_BY(lock);
  size_t queued TARNEXIO_GUARDED_BY(lock) = 0;  // bytes in queue
  size_t queueLimit = size_t(4) << 20;
  MutexCondition wake;  // the writer waits on it for the queue or the stop
  std::function<void(CapturePipeEvent)> onPipeEvent;
  std::thread writer;
};

// Starts a capture into sink: for a file, writes the file header and returns 0, or the error
// number of the failed write (the sink is then closed and nothing is captured); for a pipe,
// starts the writer thread (onPipeEvent is called from it) and returns 0. application names
// the program and its version in a pcapng header.
int CaptureStart(HciCapture* capture, CaptureFormat format, const CaptureSink& sink, const std::string& application,
                 std::function<void(CapturePipeEvent)> onPipeEvent = nullptr);

enum CaptureWriteResult {
  CAPTURE_WRITTEN,         // written to the file, or queued for the pipe's reader
  CAPTURE_NOT_CAPTURING,   // no capture, the capture stopped before, or a pipe without a reader
  CAPTURE_WRITE_FAILED,    // this write failed: the capture has stopped (given once)
  CAPTURE_LOST,            // the pipe's queue was full: counted, the capture goes on
};

// Writes one packet: its H4 type byte and the length bytes of header and payload behind
// it, stamped with the current time, with dropsSoFar (the packets the program dropped so
// far) in the record where the format has a place. *error receives the error number of a
// failed write.
CaptureWriteResult CaptureWritePacket(HciCapture* capture, BtsnoopDirection direction, uint8_t h4Type,
                                      const uint8_t* packet, size_t length, uint64_t dropsSoFar, int* error);

// The records lost to a slow reader so far.
uint64_t CaptureLost(HciCapture* capture);

// Ends the capture (pcapng: with the interface statistics, dropsSoFar and the records lost
// among the drops) and closes the sink. A pipe's writer gives the queue at most a short
// while to drain. Nothing is written after this.
void CaptureStop(HciCapture* capture, uint64_t dropsSoFar);
