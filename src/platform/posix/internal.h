// Shared pieces of the posix backend: the handle table, the kernel-object base and the
// way the layer starts its own threads. Not part of the public platform interface.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace tarnexio_posix {

// Every handle refers to one of these. The table keeps one reference; each call that
// uses a handle takes its own, so closing a handle never frees an object in use.
class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // Waits until the object is signalled or the time runs out; returns WAIT_OBJECT_0,
  // WAIT_TIMEOUT or WAIT_FAILED (with the last error set).
  virtual DWORD Wait(DWORD milliseconds);
  // Called by every CloseHandle of the handle while it is still in the table, so that
  // what a close ends is ended before the handle stops being found (it may run twice).
  virtual void OnClosing() {}
  // Called once when the handle is closed (after it has left the table).
  virtual void OnClose() {}
};

// Hands out a new handle value for the object; values are never reused.
HANDLE AddHandle(std::shared_ptr<KernelObject> object);
// The object behind a handle, or nullptr for a closed, unknown, NULL or
// INVALID_HANDLE_VALUE handle.
std::shared_ptr<KernelObject> FindHandle(HANDLE handle);
// Takes the handle out of the table and returns its object (nullptr if unknown).
std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle);

template <typename T>
std::shared_ptr<T> FindHandleOf(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(FindHandle(handle));
}

// Sets or clears an event object directly (the device completion path keeps the event
// alive this way even if its handle is closed meanwhile).
void SignalEventObject(const std::shared_ptr<KernelObject>& event);
void ResetEventObject(const std::shared_ptr<KernelObject>& event);

// Starts a detached thread of the layer's own. The console signals are blocked in it
// from its first instruction, so no signal ever interrupts it. False (last error
// ERROR_NOT_ENOUGH_MEMORY) when the system has no thread to give.
bool StartLayerThread(std::function<void()> body);

// Blocks the console signals and SIGPIPE in the calling thread.
void BlockConsoleSignals();

// The device opens that failed since the last one that worked, for
// ReportDeviceOpenFailures: the path tried and the error number of the failure.
void NoteDeviceOpenFailure(const std::string& path, int error);
void ForgetDeviceOpenFailures();

// One whole line on standard error, "Tarnexio: " and text, in one write.
void WriteHintLine(const std::string& text);

}  // namespace tarnexio_posix
