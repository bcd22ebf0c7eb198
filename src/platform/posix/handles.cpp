// The handle table. Handle values come from a counter that only grows, so a stale
// handle can never name a newer object; lookups hand out shared references.
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "platform/posix/internal.h"
#include "wire/locks.h"

namespace tarnexio_posix {
namespace {

Mutex g_tableMutex;
std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>>& Table() TARNEXIO_REQUIRES(g_tableMutex) {
  static auto* table = new std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>>();
  return *table;
}
// Multiples of 4 from 0x1000 upwards, as kernel handles look on Windows; never 0 or -1.
uintptr_t g_nextHandle TARNEXIO_GUARDED_BY(g_tableMutex) = 0x1000;

}  // namespace

DWORD KernelObject::Wait(DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

HANDLE AddHandle(std::shared_ptr<KernelObject> object) {
  MutexLock lock(&g_tableMutex);
  uintptr_t value = g_nextHandle;
  g_nextHandle += 4;
  Table().emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> FindHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  MutexLock lock(&g_tableMutex);
  auto it = Table().find(reinterpret_cast<uintptr_t>(handle));
  return it == Table().end() ? nullptr : it->second;
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  MutexLock lock(&g_tableMutex);
  auto it = Table().find(reinterpret_cast<uintptr_t>(handle));
  if (it == Table().end()) return nullptr;
  std::shared_ptr<KernelObject> object = std::move(it->second);
  Table().erase(it);
  return object;
}

}  // namespace tarnexio_posix
