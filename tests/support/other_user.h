// A second local user for the tests of trust between users: `nobody`, reached from a
// root test process. Each helper says why when it cannot be had, so a test can skip.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace tarnexio_test {

struct OtherUser {
  uid_t uid = 0;
  gid_t gid = 0;
};

// nobody/nogroup when the tests run as root. False with the reason otherwise.
bool FindOtherUser(OtherUser& out, std::string& whyNot);

// The command prefix that runs a program as `user` with no supplementary groups.
std::vector<std::string> AsUserCommand(const OtherUser& user);

// Runs `body` in a child process as `user`. With `bypassFileModes` the child keeps the
// capability to open files whatever their mode, so that what decides is the check of
// the program it talks to and not the socket's mode. `body` gets a descriptor it may
// write one byte to when it is ready (see WaitReady); its return value is the exit code.
class AsUser {
 public:
  AsUser(const OtherUser& user, bool bypassFileModes, const std::function<int(int readyFd)>& body);
  ~AsUser();  // kills and reaps a child that is still running
  AsUser(const AsUser&) = delete;
  AsUser& operator=(const AsUser&) = delete;

  bool WaitReady(int timeoutMs);
  // The child's exit code; -1 when it did not end in time (it is killed) or was killed.
  int Wait(int timeoutMs);

 private:
  pid_t pid_ = -1;
  int readyFd_ = -1;
};

// What a client as another user sees: the other end closed the connection (refused)
// or kept it open for `timeoutMs`.
enum class PeerVerdict { kClosed, kOpen, kNoConnection };
PeerVerdict ConnectAndWatch(const std::string& unixPath, int tcpPort, int timeoutMs);

// Directories another user could have planted or may change, each made from an existing
// directory of the test's: `plant` turns `dir` into it and returns the path to use. The
// one that needs another user is left out, with a note why, when there is none.
struct UntrustedDirectory {
  std::string name;
  std::function<std::string(const std::string& dir)> plant;
  std::string reason;  // what the programs say after "it "
};
std::vector<UntrustedDirectory> UntrustedDirectories();

// Capture names that must not be written through, each made in a directory of the test's:
// `plant` returns the name to give the program and, in *victim, a file whose bytes must
// not change (empty when there is none). `said` is in the one line the program prints.
struct PlantedCaptureName {
  std::string name;
  std::function<std::string(const std::string& dir, std::string* victim)> plant;
  std::string said;
};
std::vector<PlantedCaptureName> PlantedCaptureNames();

// Runs `body` with standard error going to a file, and returns what it wrote there.
std::string CaptureStderr(const std::function<void()>& body);

}  // namespace tarnexio_test
