// Recorders for the two seams of the bridge: what goes to the test host and what goes to
// the driver. Each is thread-safe and carries itself as the seam's context, so several
// can be live at once.
#pragma once

#include "core/host_send.h"
#include "driver/driver.h"

#include <cstdint>
#include <mutex>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Installs a host-send seam on a sender for its lifetime and records every send. By
// default each send reports that everything went out; FailWith overrides that. The
// sender is the recorder's own unless one is given (a record's, for threads).
class HostSendRecorder {
 public:
  HostSendRecorder() : HostSendRecorder(nullptr) {}
  explicit HostSendRecorder(HostSender* target);
  ~HostSendRecorder();
  HostSendRecorder(const HostSendRecorder&) = delete;
  HostSendRecorder& operator=(const HostSendRecorder&) = delete;

  HostSender* sender() { return target_; }
  void FailWith(int result);  // every send from now on returns result (0: all sent)
  std::vector<Bytes> sends() const;
  // The sends whose first byte is type.
  std::vector<Bytes> SendsOfType(uint8_t type) const;
  size_t count() const;

 private:
  static int Record(void* context, const BYTE* data, int len);

  HostSender own_;
  HostSender* target_;
  HostSendSeam seam_;
  const HostSendSeam* previous_;
  mutable std::mutex lock_;
  std::vector<Bytes> sends_;
  int result_ = 0;
};

struct RecordedWrite {
  char kind;    // 'C' command, 'A' ACL data, 'S' SCO data, 'I' interface selection
  Bytes bytes;  // the bytes written, or the selected id alone
  bool operator==(const RecordedWrite& other) const { return kind == other.kind && bytes == other.bytes; }
};

// A DriverWriter that records every write and SCO interface selection, in order, from
// whichever thread makes them.
class DriverWriteRecorder {
 public:
  DriverWriteRecorder();
  DriverWriteRecorder(const DriverWriteRecorder&) = delete;
  DriverWriteRecorder& operator=(const DriverWriteRecorder&) = delete;

  const DriverWriter& writer() const { return writer_; }
  std::vector<RecordedWrite> writes() const;
  size_t count() const;
  // The bytes of the writes of one kind, in order.
  std::vector<Bytes> Of(char kind) const;
  std::vector<Bytes> commands() const { return Of('C'); }
  // Writes that are not HCI commands.
  int otherWrites() const;

 private:
  static void Add(void* context, char kind, const BYTE* data, int length);

  DriverWriter writer_;
  mutable std::mutex lock_;
  std::vector<RecordedWrite> writes_;
};
