#include "hostlink/host_server.h"

#include "child_process.h"
#include "console_capture.h"
#include "frames.h"
#include "recorders.h"
#include "test_record.h"
#include "wait_until.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <atomic>
#include <cstring>
#include <future>
#include <mutex>
#include <string>

using tarnexio_test::FreePort;

namespace {

const Bytes kReset = {0x01, 0x03, 0x0c, 0x00};

std::mutex g_requestLock;
std::vector<Bytes> g_requests;

int RecordRequest(HostSender*, const BYTE* request, int length, int, const DriverWriter&) {
  std::lock_guard<std::mutex> lock(g_requestLock);
  g_requests.emplace_back(request, request + length);
  return 1;
}

size_t RequestCount() {
  std::lock_guard<std::mutex> lock(g_requestLock);
  return g_requests.size();
}

// The test host's side: connects to 127.0.0.1, trying again until the server listens.
int ConnectTestHost(int port) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons((unsigned short)port);
  int fd = -1;
  WaitUntil(
      [&] {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, (sockaddr*)&address, sizeof address) == 0) return true;
        close(fd);
        fd = -1;
        return false;
      },
      5000);
  EXPECT_GE(fd, 0) << "no server on port " << port;
  return fd;
}

void SendBytes(int fd, const Bytes& bytes) {
  EXPECT_EQ((ssize_t)bytes.size(), send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL));
}


class ServeTestHostTest : public testing::Test {
 protected:
  void SetUp() override {
    ctx_->diagMode = 0;
    std::lock_guard<std::mutex> lock(g_requestLock);
    g_requests.clear();
  }

  void TearDown() override {
    for (int fd : hosts_) {
      if (fd >= 0) close(fd);
    }
    if (server_.valid()) {
      RunStopSequence(ctx_.get(), false);
      server_.wait_for(tarnexio_test::Scaled(std::chrono::seconds(10)));
    }
  }

  void Start(int port) {
    server_ = std::async(std::launch::async, [this, port] {
      return ServeTestHostWith(ctx_.get(), port, recorder_.writer(), RecordRequest);
    });
  }

  int Connect(int port) {
    hosts_.push_back(ConnectTestHost(port));
    return hosts_.back();
  }

  // Waits until the server's receive has taken every byte sent so far, so that the next
  // piece comes in a receive of its own.
  void WaitTaken() {
    EXPECT_TRUE(WaitUntil([this] {
      const SOCKET s = ctx_->host.clientSocket.load();
      int unread = -1;
      return s != INVALID_SOCKET && ioctl(s, FIONREAD, &unread) == 0 && unread == 0;
    }));
  }

  void WaitForConsole(const char* text) {
    EXPECT_TRUE(WaitUntil([&] { return console_.Text().find(text) != std::string::npos; }, 5000)) << text;
  }

  int Result() {
    if (server_.wait_for(tarnexio_test::Scaled(std::chrono::seconds(10))) != std::future_status::ready) {
      ADD_FAILURE() << "the server did not end";
      RunStopSequence(ctx_.get(), false);
    }
    return server_.get();
  }

  ConsoleCapture console_;
  TestRecord ctx_;  // the server below ends before the record goes
  DriverWriteRecorder recorder_;
  std::future<int> server_;
  std::vector<int> hosts_;
};

// The lines of a set-up on port, up to the connection.
std::string SetUpLines(int port) {
  return "BTFTM : Ethernet Socket created\n"
         "BTFTM: binding done\n"
         "BTFTM : Listening on socket...\n"
         "BTFTM : Listening on TCP port " +
         std::to_string(port) +
         ", address 0.0.0.0 (every local address)\n"
         "BTFTM : Waiting for incoming Ethernet connections... \n"
         "BTFTM : Ethernet Connected!\n";
}

TEST_F(ServeTestHostTest, TestHostThatClosesAtOnceEndsByTheDisconnectPath) {
  const int port = FreePort();
  Start(port + 0x10000);  // only the low 16 bits count
  close(Connect(port));
  hosts_.clear();
  EXPECT_EQ(HOST_CONNECTION_OVER, Result());
  EXPECT_EQ(console_.Text(), SetUpLines(port) + "BTFTM : Client disconnected\n");
  EXPECT_EQ(INVALID_SOCKET, ctx_->listenSocket.load());
  EXPECT_NE(INVALID_SOCKET, ctx_->host.clientSocket.load());
  EXPECT_EQ(0u, recorder_.count());
}

// One attempt to connect: the socket, or -1 with errno.
int ConnectOnce(int port) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons((unsigned short)port);
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (connect(fd, (sockaddr*)&address, sizeof address) == 0) return fd;
  const int error = errno;
  close(fd);
  errno = error;
  return -1;
}

TEST_F(ServeTestHostTest, RawPacketsAreWrittenOnceEachAndASecondTestHostIsRefusedAtOnce) {
  const int port = FreePort();
  Start(port);
  const int host = Connect(port);
  SendBytes(host, {0x01, 0x01, 0x10, 0x00, 0x01, 0x03, 0x0c, 0x00});
  WaitTaken();
  SendBytes(host, {0x01, 0x05});
  WaitTaken();
  SendBytes(host, {0x0c, 0x02, 0xaa});
  WaitTaken();
  SendBytes(host, {0xbb});
  // The host served holds the only place: a second one is told so by the system at once.
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(ConnectOnce(port), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
  EXPECT_TRUE(WaitUntil([&] { return recorder_.count() >= 3; }, 5000));
  WaitTaken();
  close(host);
  hosts_[0] = -1;
  EXPECT_EQ(HOST_CONNECTION_OVER, Result());
  EXPECT_EQ(recorder_.writes(), (std::vector<RecordedWrite>{{'C', {0x01, 0x10, 0x00}},
                                                            {'C', {0x03, 0x0c, 0x00}},
                                                            {'C', {0x05, 0x0c, 0x02, 0xaa, 0xbb}}}));
}

TEST_F(ServeTestHostTest, DiagRequestSplitOverTwoSendsIsAnsweredOnce) {
  ctx_->diagMode = 1;
  const int port = FreePort();
  Start(port);
  const int host = Connect(port);
  SendBytes(host, {0x4b, 0x0b, 0x00});
  WaitTaken();
  SendBytes(host, {0x01, 0x02, 0x7e});
  EXPECT_TRUE(WaitUntil([] { return RequestCount() >= 1; }, 5000));
  close(host);
  hosts_[0] = -1;
  EXPECT_EQ(HOST_CONNECTION_OVER, Result());
  EXPECT_EQ(g_requests, (std::vector<Bytes>{{0x4b, 0x0b, 0x00, 0x01, 0x02, 0x7e}}));
}

TEST_F(ServeTestHostTest, PeerResetEndsTheLoopByTheDisconnectPath) {
  const int port = FreePort();
  Start(port);
  const int host = Connect(port);
  WaitForConsole("Ethernet Connected!");
  linger abort = {1, 0};
  setsockopt(host, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  close(host);
  hosts_[0] = -1;
  EXPECT_EQ(HOST_CONNECTION_OVER, Result());
  EXPECT_EQ(console_.Text(), SetUpLines(port) + "BTFTM: Socket recv returned error = " + std::to_string(WSAECONNRESET) +
                                 "BTFTM : Client disconnected\n");
  EXPECT_EQ(INVALID_SOCKET, ctx_->listenSocket.load());
}

TEST_F(ServeTestHostTest, LastingReceiveErrorOfADeadConnectionEndsTheLoopOnce) {
  const int port = FreePort();
  Start(port);
  const int host = Connect(port);
  WaitForConsole("Ethernet Connected!");
  // From the next receive on, the connection is something that is no socket at all.
  int notASocket[2];
  ASSERT_EQ(0, pipe(notASocket));
  hosts_.push_back(notASocket[1]);
  hosts_.push_back(ctx_->host.clientSocket.exchange(notASocket[0]));
  SendBytes(host, {0x01});
  EXPECT_EQ(HOST_CONNECTION_OVER, Result());
  EXPECT_EQ(console_.Text(), SetUpLines(port) + "BTFTM: Socket recv returned error = " + std::to_string(WSAENOTSOCK) +
                                 "BTFTM : Client disconnected\n");
  EXPECT_EQ(0, ctx_->exitFlag.load());
}

TEST_F(ServeTestHostTest, BytesOfThePassThatFindsTheExitFlagAreDiscarded) {
  const int port = FreePort();
  Start(port);
  const int host = Connect(port);
  WaitForConsole("Ethernet Connected!");
  ctx_->exitFlag = 1;
  SendBytes(host, kReset);
  EXPECT_EQ(HOST_CONNECTION_OVER, Result());
  EXPECT_EQ(console_.Text(), SetUpLines(port) + "BTFTM : App is exiting, coming out of main thread\n");
  EXPECT_EQ(0u, recorder_.count());
}

TEST_F(ServeTestHostTest, StopSequenceWhileConnectedEndsTheLoop) {
  const int port = FreePort();
  Start(port);
  Connect(port);
  WaitForConsole("Ethernet Connected!");
  RunStopSequence(ctx_.get(), false);
  EXPECT_EQ(HOST_CONNECTION_OVER, Result());
  const std::string text = console_.Text();
  EXPECT_TRUE(text == SetUpLines(port) + "BTFTM : Client disconnected\n" ||
              text.rfind(SetUpLines(port) + "BTFTM : App is exiting, coming out of main thread\n", 0) == 0)
      << text;
}

TEST_F(ServeTestHostTest, StopSequenceWhileWaitingForTheTestHostFailsTheSetUp) {
  Start(FreePort());
  WaitForConsole("Waiting for incoming");
  RunStopSequence(ctx_.get(), false);
  EXPECT_EQ(HOST_SETUP_FAILED, Result());
  const std::string text = console_.Text();
  EXPECT_EQ(text.substr(text.size() - strlen("BTFTM : accept failed\n")), "BTFTM : accept failed\n");
  EXPECT_EQ(INVALID_SOCKET, ctx_->listenSocket.load());
}

TEST_F(ServeTestHostTest, PortInUseFailsTheSetUpAtBind) {
  const int port = FreePort();
  int holder = socket(AF_INET, SOCK_STREAM, 0);
  hosts_.push_back(holder);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons((unsigned short)port);
  ASSERT_EQ(0, bind(holder, (sockaddr*)&address, sizeof address));
  ASSERT_EQ(0, listen(holder, 1));
  Start(port);
  EXPECT_EQ(HOST_SETUP_FAILED, Result());
  EXPECT_EQ(console_.Text(), "BTFTM : Ethernet Socket created\nBTFTM : Bind failed. Close socket");
  EXPECT_EQ(INVALID_SOCKET, ctx_->listenSocket.load());
}

}  // namespace
