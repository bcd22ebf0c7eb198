/* A reader of the bridge's live capture on Windows, as Wireshark is one: connects to the
 * named pipe the bridge created, reads until the bridge closes it, and checks the pcap
 * stream it got: the file header (link type 201) and then whole records, each a direction
 * header and one H4 packet as long as its own header says.
 *
 *   pipe_client.exe \\.\pipe\NAME
 *
 * Prints "connected" once the pipe is open, then who the pipe admits ("access: this user
 * alone" when its access list holds one entry, allowing this user; else what it holds), one
 * line per record, "DIRECTION TYPE LENGTH" (H4 length, type byte included), and "records N". Exit 0 when the stream checks,
 * 1 (with the reason) when it does not, 2 when the pipe could not be opened. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <aclapi.h>

static uint32_t le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
static uint32_t be32(const uint8_t *p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

/* The length of an H4 packet by its header; 0 when the type is unknown or it is too short. */
static size_t h4_length(const uint8_t *p, size_t n) {
  if (n >= 4 && p[0] == 0x01) return 4 + (size_t)p[3];
  if (n >= 3 && p[0] == 0x04) return 3 + (size_t)p[2];
  if (n >= 5 && p[0] == 0x02) return 5 + (size_t)(p[3] | p[4] << 8);
  if (n >= 4 && p[0] == 0x03) return 4 + (size_t)p[3];
  return 0;
}

/* Says whom the pipe's access list admits. */
static void print_access(HANDLE pipe) {
  PACL dacl = NULL;
  PSECURITY_DESCRIPTOR sd = NULL;
  if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL, &sd) != ERROR_SUCCESS) {
    printf("access: cannot be read (error %lu)\n", GetLastError());
    return;
  }
  HANDLE token = NULL;
  BYTE user[256];
  DWORD size = 0;
  BOOL known = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
               GetTokenInformation(token, TokenUser, user, sizeof user, &size);
  if (token != NULL) CloseHandle(token);
  ACCESS_ALLOWED_ACE *ace = NULL;
  if (dacl == NULL) {
    printf("access: everyone (no access list)\n");
  } else if (dacl->AceCount != 1 || !GetAce(dacl, 0, (void **)&ace) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) {
    printf("access: %u entries\n", (unsigned)dacl->AceCount);
  } else if (!known || !EqualSid((PSID)&ace->SidStart, ((TOKEN_USER *)user)->User.Sid)) {
    printf("access: one entry, for another SID\n");
  } else {
    printf("access: this user alone\n");
  }
  LocalFree(sd);
}

static int bad(const char *why, size_t at) {
  printf("bad stream: %s at offset %lu\n", why, (unsigned long)at);
  return 1;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: pipe_client.exe \\\\.\\pipe\\NAME\n");
    return 2;
  }
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (int i = 0; i < 200 && pipe == INVALID_HANDLE_VALUE; ++i) {
    pipe = CreateFileA(argv[1], GENERIC_READ | READ_CONTROL, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (pipe == INVALID_HANDLE_VALUE) Sleep(100);
  }
  if (pipe == INVALID_HANDLE_VALUE) {
    printf("cannot open %s: error %lu\n", argv[1], GetLastError());
    return 2;
  }
  printf("connected\n");
  print_access(pipe);
  fflush(stdout);
  size_t size = 0, capacity = 1 << 16;
  uint8_t *data = malloc(capacity);
  for (;;) {
    DWORD got = 0;
    if (size + 4096 > capacity) data = realloc(data, capacity *= 2);
    if (!ReadFile(pipe, data + size, 4096, &got, NULL) || got == 0) break;
    size += got;
  }
  CloseHandle(pipe);
  if (size < 24 || le32(data) != 0xA1B2C3D4u) return bad("no pcap header", 0);
  if (le32(data + 20) != 201) return bad("link type is not 201", 20);
  size_t at = 24, records = 0;
  while (at < size) {
    if (size - at < 16) return bad("record header cut short", at);
    const uint32_t captured = le32(data + at + 8), original = le32(data + at + 12);
    if (captured != original || captured < 5 || size - at - 16 < captured) return bad("record length", at);
    const uint8_t *p = data + at + 16;
    const uint32_t direction = be32(p);
    const size_t h4 = captured - 4;
    if (direction > 1) return bad("direction", at);
    if (h4_length(p + 4, h4) != h4) return bad("not one whole H4 packet", at);
    printf("%u %02x %lu\n", direction, p[4], (unsigned long)h4);
    at += 16 + captured;
    ++records;
  }
  printf("records %lu\n", (unsigned long)records);
  free(data);
  return 0;
}
