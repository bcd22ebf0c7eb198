// SCO interfaces: selection in the driver and the packet-size rule.
#include "driver/driver.h"
#include "wire/ftm_contract.h"
#include "wire/hci.h"

void SelectScoInf(ScoSelection* sco, const DriverRecord* driver, BYTE interfaceId) {
  MutexLock lock(&sco->scoInterfaceLock);
  if (interfaceId == 0) {
    // A deselection closes the gate within the same step, so that a selection that
    // finished just before it cannot leave the gate open with no interface.
    HANDLE gate = sco->ScoRxStartEvent.load();
    if (gate != nullptr) ResetEvent(gate);
  }
  if (interfaceId == sco->currentScoInterface.load()) return;
  DWORD count = 0;
  // The result is judged by the last error even when the call succeeds, and a success
  // need not clear it: start from a clean value, so that an error left over from an
  // earlier call on this thread (a pending read's 997) cannot undo a good selection.
  SetLastError(ERROR_SUCCESS);
  BOOL done = DeviceIoControl(driver->hDriver.load(), IOCTL_BTFTM_SELECT_SCO_INF, &interfaceId, 1, nullptr, 0,
                              &count, nullptr);
  DWORD error = GetLastError();
  if (done) {
    print_message(L"SelectScoInf: Select SCO Inf happened synchronously, dwError is %d\n", (int)error);
    if (error != ERROR_SUCCESS) return;
    sco->currentScoInterface = interfaceId;
    if (interfaceId != 0) {
      HANDLE gate = sco->ScoRxStartEvent.load();
      if (gate != nullptr) SetEvent(gate);
    }
    return;
  }
  if (error == ERROR_INVALID_PARAMETER) {
    print_message(L"SelectScoInf: Error:Invalid Parameter\n");
  } else if (error == ERROR_IO_PENDING) {
    print_message(L"SelectScoInf: Error:Io Pending\n");
  } else {
    print_message(L"SelectScoInf: Error:in default. Error -0x%X\n", (unsigned)error);
  }
}

BYTE ScoInterfaceForLength(int hciLen) { return wire::ScoInterfaceForPacketLength(hciLen); }

void ApplyScoPacketRule(int hciLen, const DriverWriter& writer) {
  BYTE id = ScoInterfaceForLength(hciLen);
  if (id == 0) {
    print_message(L"BTFTM: Invalid sco hciLen %d", hciLen);
    return;
  }
  writer.selectScoInf(writer.context, id);
}
