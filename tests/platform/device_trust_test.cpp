// The bridge opens a device only in a directory no other user can have planted or
// changed, and only when the process serving it runs as root or as the bridge's user.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "device_double.h"
#include "other_user.h"
#include "platform/platform.h"

using tarnexio_test::AsUser;
using tarnexio_test::CaptureStderr;
using tarnexio_test::OtherUser;
using tarnexio_test::TempDeviceDir;

namespace {

// Opens \\.\NAME and returns the error and what the layer said on standard error.
std::string RefusedOpen(const wchar_t* path, DWORD* error) {
  HANDLE h = INVALID_HANDLE_VALUE;
  const std::string said = CaptureStderr([&] {
    SetLastError(0);
    h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    *error = GetLastError();
  });
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  return h == INVALID_HANDLE_VALUE ? said : "(opened)";
}

size_t Lines(const std::string& text) {
  size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

}  // namespace

TEST(DeviceTrust, UntrustedDirectoryIsRefusedEvenWithALiveServerInIt) {
  for (const auto& c : tarnexio_test::UntrustedDirectories()) {
    SCOPED_TRACE(c.name);
    TempDeviceDir dir;
    tarnexio_test::DeviceDouble server("DEV");
    const std::string used = c.plant(dir.path());
    setenv("TARNEXIO_DEVICE_DIR", used.c_str(), 1);
    DWORD error = 0;
    const std::string said = RefusedOpen(L"\\\\.\\DEV", &error);
    EXPECT_EQ(error, DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(said, "Tarnexio: not using the device directory " + used + ": " + c.reason(used) + "\n");
    if (used != dir.path()) unlink(used.c_str());
    chmod(dir.path().c_str(), 0700);
  }
}

TEST(DeviceTrust, MissingDirectoryIsMadeForThisUserAlone) {
  TempDeviceDir dir;
  const std::string sub = dir.path() + "/made";
  setenv("TARNEXIO_DEVICE_DIR", sub.c_str(), 1);
  DWORD error = 0;
  EXPECT_EQ(RefusedOpen(L"\\\\.\\DEV", &error), "");  // simply not there yet
  EXPECT_EQ(error, DWORD(ERROR_FILE_NOT_FOUND));
  struct stat st;
  ASSERT_EQ(lstat(sub.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(st.st_uid, geteuid());
  rmdir(sub.c_str());
}

TEST(DeviceTrust, DriverOfAnotherUserIsRefused) {
  OtherUser other;
  std::string whyNot;
  if (!tarnexio_test::FindOtherUser(other, whyNot)) GTEST_SKIP() << whyNot;
  TempDeviceDir dir;  // ours and trusted: only the server's user is wrong
  const std::string path = dir.path() + "/DEV";
  // The kernel names whoever called listen(): the other user, here, with a socket file in
  // our directory (it may write there only through the capability it kept).
  AsUser forger(other, true, [&](int readyFd) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0) return 1;
    if (write(readyFd, "r", 1) != 1) return 1;
    for (;;) pause();
  });
  ASSERT_TRUE(forger.WaitReady(5000));
  DWORD error = 0;
  const std::string said = RefusedOpen(L"\\\\.\\DEV", &error);
  EXPECT_EQ(error, DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(said, "Tarnexio: not using " + path + ": its server runs as uid " + std::to_string(other.uid) +
                      ", neither this user nor root\n");
  EXPECT_EQ(Lines(said), 1u);
}
