/*
 * Installs and starts the test kernel driver as a demand-start kernel service, then keeps the
 * Wine session (and with it the driver host) alive until it is killed.
 *
 *   service.exe NAME C:\path\driver.sys
 *
 * Prints "driver running" once the service reports RUNNING, or why not and exits 1.
 */
#include <windows.h>
#include <stdio.h>

int main(int argc, char** argv) {
  SC_HANDLE scm, svc;
  SERVICE_STATUS status;
  DWORD start;
  if (argc != 3) {
    fprintf(stderr, "usage: service.exe NAME DRIVER.SYS\n");
    return 2;
  }
  scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  if (!scm) {
    printf("service: no service manager (%lu)\n", GetLastError());
    return 1;
  }
  svc = CreateServiceA(scm, argv[1], argv[1], SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                       SERVICE_ERROR_NORMAL, argv[2], NULL, NULL, NULL, NULL, NULL);
  if (!svc && GetLastError() == ERROR_SERVICE_EXISTS) svc = OpenServiceA(scm, argv[1], SERVICE_ALL_ACCESS);
  if (!svc) {
    printf("service: cannot create %s (%lu)\n", argv[1], GetLastError());
    return 1;
  }
  if (!StartServiceA(svc, 0, NULL) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
    printf("service: cannot start %s (%lu)\n", argv[1], GetLastError());
    return 1;
  }
  /* The state, not the result of the start, tells whether the driver runs. */
  start = GetTickCount();
  for (;;) {
    if (!QueryServiceStatus(svc, &status)) {
      printf("service: cannot query %s (%lu)\n", argv[1], GetLastError());
      return 1;
    }
    if (status.dwCurrentState == SERVICE_RUNNING) break;
    if (GetTickCount() - start > 20000) {
      printf("service: %s is in state %lu, not running\n", argv[1], status.dwCurrentState);
      return 1;
    }
    Sleep(100);
  }
  printf("driver running\n");
  fflush(stdout);
  for (;;) Sleep(60000);
}
