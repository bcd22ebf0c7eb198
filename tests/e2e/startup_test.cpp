// The bridge's command line, driver open, FTM mode and ways out, run as a real process.
#include "harness.h"
#include "wire/version.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <gtest/gtest.h>

using namespace e2e;

namespace {

const char kUsage[] =
    "Usage:\n"
    "\tTarnexio.exe -p port -m mode\n"
    "Example:\n"
    "\tUse with Travik/Zendrel: Tarnexio.exe -p 2390 -m diag\n"
    "\tUse with Pellor:      Tarnexio.exe -p 2390 -m raw\n";

const char kCleanUp[] =
    "BTFTM : Cleaning all resources\n"
    "BTFTM : All resources are freed\n"
    "BTFTM : Coming out of main loop\n";

struct Outcome {
  int code;
  std::string out;
};

Outcome RunToEnd(const std::vector<std::string>& args, const std::string& deviceDir) {
  std::vector<std::string> argv = {BridgeBinary()};
  argv.insert(argv.end(), args.begin(), args.end());
  Child child(argv, {{"TARNEXIO_DEVICE_DIR", deviceDir}});
  int code = child.WaitExit(Millis(15000));
  return {code, child.Output()};
}

// The Windows program under Wine (the Windows lane): its hints are the Windows platform's,
// and they reach the test on standard error beside a filtered standard output.
bool UnderWine() { return std::getenv("TARNEXIO_WINE_EXE") != nullptr; }

// True when out is console followed by the one hint line. Under Wine the hint, on standard
// error, may come anywhere among the lines of standard output.
::testing::AssertionResult ConsoleThenHint(const std::string& out, const std::string& console, const std::string& hint) {
  const std::string line = "Tarnexio: " + hint + "\n";
  const size_t at = UnderWine() ? out.find(line) : console.size();
  bool holds = at <= out.size() && out.compare(at, line.size(), line) == 0;
  if (holds) holds = out.substr(0, at) + out.substr(at + line.size()) == console;
  if (!holds)
    return ::testing::AssertionFailure() << "expected " << tarnexio_test::Printable(console + line) << ", got "
                                         << tarnexio_test::Printable(out);
  return ::testing::AssertionSuccess();
}

// The usage stays word for word; one hint line on standard error (the same stream here)
// says what was wrong with the command line.
TEST(CommandLine, WrongCountOrFlagPrintsUsageAndWhyAndExitsMinusOne) {
  TempDir dir;
  const struct {
    std::vector<std::string> args;
    const char* why;
  } cases[] = {
      {{}, "no arguments: give -p port -m mode, such as -p 2390 -m raw"},
      {{"-p", "2390", "-m"}, "-m needs a mode after it"},
      {{"-p", "-m", "raw"}, "-p needs a port after it"},
      {{"-p", "2390"}, "-m mode is missing"},
      {{"-m", "raw"}, "-p port is missing"},
      {{"-p", "2390", "-m", "raw", "x"}, "extra argument 'x' after -p port -m mode"},
      {{"-P", "2390", "-m", "raw"}, "unexpected argument '-P' where -p was expected"},
      {{"-p", "2390", "-M", "raw"}, "unexpected argument '-M' where -m was expected"},
      {{"-px", "2390", "-m", "raw"}, "unexpected argument '-px' where -p was expected"},
      {{"-p", "2390", "-mode", "raw"}, "unexpected argument '-mode' where -m was expected"},
      {{"-m", "raw", "-p", "2390"}, "the arguments are swapped: -p port comes first, then -m mode"},
      {{"-p", "1", "-p", "2"}, "the arguments are -p port -m mode, exactly these four, in this order"},
      // --version and --help count only as the one argument, spelt exactly
      {{"--version", "x"}, "unexpected argument '--version' where -p was expected"},
      {{"-p", "2390", "-m", "raw", "--help"}, "extra argument '--help' after -p port -m mode"},
      {{"--help", "-p", "2390", "-m"}, "unexpected argument '--help' where -p was expected"},
      {{"-version"}, "unexpected argument '-version' where -p was expected"},
      {{"--Help"}, "unexpected argument '--Help' where -p was expected"},
      {{"-h"}, "unexpected argument '-h' where -p was expected"},
  };
  for (const auto& c : cases) {
    Outcome r = RunToEnd(c.args, dir.path);
    EXPECT_EQ(r.code, 255);
    EXPECT_TRUE(ConsoleThenHint(r.out, kUsage, c.why));
  }
}

TEST(CommandLine, VersionOrHelpAloneSaysVersionUsageModesAndReadmeAndExitsZero) {
  TempDir dir;
  // The usage names the program as it is run: Tarnexio.exe on Windows, else its file name.
  std::string usage = kUsage;
  if (!UnderWine()) {
    for (size_t at; (at = usage.find("Tarnexio.exe")) != std::string::npos;) usage.replace(at, 12, "Tarnexio");
  }
  for (const char* option : {"--version", "--help"}) {
    Outcome r = RunToEnd({option}, dir.path);
    EXPECT_EQ(r.code, 0) << option;
    const std::string head = std::string("Tarnexio ") + TarnexioVersion() + "\n" + usage;
    EXPECT_EQ(r.out.substr(0, head.size()), head) << option;
    for (const char* part : {"\traw ", "\tdiag ", "README.md", "Tarnexio(1)"})
      EXPECT_NE(r.out.find(part), std::string::npos) << option << " lacks " << part << ":\n" << r.out;
    EXPECT_EQ(r.out.find("FtmApp:"), std::string::npos) << "nothing is started";
  }
}

TEST(CommandLine, BadPortAndModeAreRefusedWithWhatIsAccepted) {
  TempDir dir;
  const std::string portHint = "the port is a decimal number whose low 16 bits are not all 0, such as 2390";
  for (const char* port : {"0", "abc", "", "65536", "131072", "-65536"}) {
    Outcome r = RunToEnd({"-p", port, "-m", "raw"}, dir.path);
    EXPECT_EQ(r.code, 255) << port;
    EXPECT_TRUE(ConsoleThenHint(r.out, "The input port number is invalid\n", portHint)) << port;
  }
  // The launcher takes any case; the bridge takes the modes in lower case only, and says so.
  for (const char* mode : {"Diag", "diagx", "ra", "rawr", "RAW", ""}) {
    Outcome r = RunToEnd({"-p", "2390", "-m", mode}, dir.path);
    EXPECT_EQ(r.code, 255) << mode;
    EXPECT_TRUE(ConsoleThenHint(r.out, "The input mode is invalid\n", "the modes are diag and raw, in lower case")) << mode;
  }
  // A bad port and a bad mode together: only the port is reported.
  Outcome both = RunToEnd({"-p", "x", "-m", "y"}, dir.path);
  EXPECT_TRUE(ConsoleThenHint(both.out, "The input port number is invalid\n", portHint));
}

TEST(DriverOpen, NoDriverCleansUpSaysWhereItLookedAndExitsOne) {
  TempDir dir;
  Outcome r = RunToEnd({"-p", "2390", "-m", "raw"}, dir.path);
  EXPECT_EQ(r.code, 1);
  const std::string console = std::string("BTFTM : Tarnexio version ") + TarnexioVersion() +
                              "\n"
                              "FtmApp:InitiateStruct++\n"
                              "FtmApp:InitiateStruct--\n"
                              "BTFTM : opening FTM Driver handle\n"
                              "BTFTM : FTM Driver handle Open Failed\n";
  if (UnderWine()) {
    // The system opens the devices: the hint gives its last error and the usual remedy.
    const std::string hint = "Tarnexio: no FTM driver device could be opened (error 2";
    const size_t at = r.out.find(hint);
    ASSERT_NE(at, std::string::npos) << r.out;
    std::string rest = r.out;
    rest.erase(at, rest.find('\n', at) + 1 - at);
    EXPECT_EQ(rest, console + kCleanUp);
    return;
  }
  // Standard error (the line naming both devices) comes in the same stream here.
  EXPECT_EQ(r.out, console + "Tarnexio: no driver device could be opened: " + dir.path +
                       "/ZELDROVE (No such file or directory), " + dir.path +
                       "/btftmdriver (No such file or directory); is ftmd running, with the same device "
                       "directory (TARNEXIO_DEVICE_DIR here, --dir for ftmd)?\n" +
                       kCleanUp);
}

// A run that ends without serving a test host exits with 1, whatever ended its start-up;
// the console says why, as before.
TEST(ExitCode, ARunThatServesNoTestHostExitsOne) {
  struct Case {
    const char* name;
    std::vector<std::string> ftmdOptions;  // empty: no ftmd at all
    const char* why;
  };
  const Case cases[] = {
      {"no driver", {}, "BTFTM : FTM Driver handle Open Failed\n"},
      {"FTM mode refused",
       {"--type", "1", "--bt-on"},
       "BTFTM : EnableDrvFtm Error: BT is not in OFF state, please turn off BT then try again\n"},
      {"FTM mode ended before a test host came",
       {"--type", "1", "--ftm-seconds", "1"},
       "BTFTM : FTM mode terminated by driver, exiting the FTM App...\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir empty;
    std::unique_ptr<Ftmd> ftmd = c.ftmdOptions.empty() ? nullptr : std::make_unique<Ftmd>(c.ftmdOptions);
    Outcome r = RunToEnd({"-p", std::to_string(FreePort()), "-m", "raw"}, ftmd ? ftmd->dir.path : empty.path);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find(c.why), std::string::npos) << r.out;
  }
}

TEST(DriverOpen, Type1EntersFtmModeAndServes) {
  Ftmd ftmd({"--type", "1"});
  Bridge bridge(ftmd.dir.path, "raw");
  ASSERT_TRUE(bridge.WaitListening());
  std::string out = bridge.child->Output();
  EXPECT_NE(out.find("BTFTM : FTM Driver handle Open successful. DrvType = 0x1\n"
                     "BTFTM : EnterFtmModeThread ++\n"
                     "BTFTM : EnableDrvFtm Error: Io Pending\n"),
            std::string::npos)
      << out;
  for (const char* line : {"BTFTM : Succeed in creating Event Thread\n", "BTFTM : Succeed in creating ACL Thread\n",
                           "BTFTM : Succeed in creating SCO Thread\n", "BTFTM : Ethernet Socket created\n",
                           "BTFTM: binding done\n", "BTFTM : Listening on socket...\n"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line;
  }
  // The address and port test hosts connect to, right before the bridge waits for one.
  // (A reader thread's line may come between them.)
  EXPECT_TRUE(bridge.child->HasInOrder({"BTFTM : Listening on socket...\n",
                                        "BTFTM : Listening on TCP port " + std::to_string(bridge.port) +
                                            ", address 0.0.0.0 (every local address)\n",
                                        "BTFTM : Waiting for incoming Ethernet connections... \n"}))
      << out;
}

TEST(HostLink, PortInUseSaysWhyOnStandardErrorAndExitsOne) {
  Ftmd ftmd({"--type", "1"});
  int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(holder, (sockaddr*)&address, sizeof address), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  ASSERT_EQ(getsockname(holder, (sockaddr*)&address, &length), 0);
  const int port = ntohs(address.sin_port);
  Outcome r = RunToEnd({"-p", std::to_string(port), "-m", "raw"}, ftmd.dir.path);
  close(holder);
  EXPECT_EQ(r.code, 1);
  // Lines of the reader threads may come between these. Under Wine the hint carries the
  // system's own error text (it may say access denied for a port in use) and its standard
  // error may overtake the filtered standard output.
  const std::string hint = "Tarnexio: cannot listen on TCP port " + std::to_string(port) + " (";
  if (UnderWine()) {
    EXPECT_TRUE(ContainsInOrder(r.out, {"BTFTM : Ethernet Socket created\n", "BTFTM : Bind failed. Close socket"}))
        << r.out;
    EXPECT_NE(r.out.find(hint + "error "), std::string::npos) << r.out;
    return;
  }
  EXPECT_TRUE(ContainsInOrder(r.out, {"BTFTM : Ethernet Socket created\n", hint + "Address already in use)\n",
                                      "BTFTM : Bind failed. Close socket"}))
      << r.out;
}

// The harness starts a bridge again on another port only when the port was its own pick:
// a port the test gave is the test's business, and its failure is reported as it is.
TEST(HostLink, TheHarnessNeverRetriesAPortTheTestGave) {
  Ftmd ftmd({"--type", "1"});
  const int port = FreePort();
  int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons((uint16_t)port);
  ASSERT_EQ(bind(holder, (sockaddr*)&address, sizeof address), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  Bridge bridge(ftmd.dir.path, "raw", port);
  const ::testing::AssertionResult listening = bridge.WaitListening();
  close(holder);
  EXPECT_FALSE(listening);
  EXPECT_EQ(bridge.portRetries, 0);
  EXPECT_EQ(bridge.port, port);
  EXPECT_NE(std::string(listening.message()).find("cannot listen on TCP port " + std::to_string(port)),
            std::string::npos)
      << listening.message();
  EXPECT_EQ(bridge.child->WaitExit(), 1);
}

TEST(DriverOpen, Type2HasOnlyTheEventReaderAndNoFtmMode) {
  Ftmd ftmd({"--type", "2"});
  Bridge bridge(ftmd.dir.path, "raw");
  ASSERT_TRUE(bridge.WaitListening());
  std::string out = bridge.child->Output();
  EXPECT_NE(out.find("DrvType = 0x2\n"), std::string::npos);
  EXPECT_EQ(out.find("EnterFtmModeThread"), std::string::npos);
  EXPECT_NE(out.find("BTFTM : Succeed in creating Event Thread\n"), std::string::npos);
  EXPECT_EQ(out.find("ACL Thread"), std::string::npos);
  EXPECT_EQ(out.find("SCO Thread"), std::string::npos);
}

TEST(FtmMode, BluetoothOnIsRefusedAtOnce) {
  Ftmd ftmd({"--type", "1", "--bt-on"});
  auto start = std::chrono::steady_clock::now();
  Outcome r = RunToEnd({"-p", std::to_string(FreePort()), "-m", "raw"}, ftmd.dir.path);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.code, 1);
  // The thread signals main before its "--" line, so main's clean-up may come first, and
  // the process may even end before the thread prints it.
  EXPECT_TRUE(ContainsInOrder(r.out, {"BTFTM : EnterFtmModeThread ++\n",
                                      "BTFTM : EnableDrvFtm Error: BT is not in OFF state, please turn off BT then try "
                                      "again\n",
                                      "BTFTM : Cleaning all resources\n", "BTFTM : All resources are freed\n",
                                      "BTFTM : Coming out of main loop\n"}))
      << r.out;
  EXPECT_EQ(r.out.find("Event Thread"), std::string::npos);
  // main goes on as soon as the thread reports; it does not wait out its 5 s.
  EXPECT_LT(took, std::chrono::milliseconds(4500));
}

TEST(FtmMode, DriverEndingFtmModeWhileConnectedEndsTheRun) {
  Ftmd ftmd({"--type", "1"});
  Bridge bridge(ftmd.dir.path, "raw");
  ASSERT_TRUE(bridge.WaitListening());
  TestHost host(bridge.port);
  ASSERT_TRUE(host.connected());
  ASSERT_TRUE(bridge.child->WaitForOutput("BTFTM : Ethernet Connected!\n"));
  ftmd.child->Signal(SIGUSR1);
  EXPECT_EQ(bridge.child->WaitExit(), 0);
  std::string out = bridge.child->Output();
  EXPECT_NE(out.find("BTFTM : FTM mode terminated by driver, exiting the FTM App...\n"), std::string::npos);
  EXPECT_TRUE(bridge.child->HasInOrder(kCleanUpLines)) << out;
}

TEST(FtmMode, DriverEndingFtmModeBeforeAConnectionExitsOne) {
  Ftmd ftmd({"--type", "1"});
  Bridge bridge(ftmd.dir.path, "raw");
  ASSERT_TRUE(bridge.WaitListening());
  ftmd.child->Signal(SIGUSR1);
  EXPECT_EQ(bridge.child->WaitExit(), 1);
  std::string out = bridge.child->Output();
  EXPECT_NE(out.find("BTFTM : FTM mode terminated by driver, exiting the FTM App...\n"), std::string::npos);
  EXPECT_NE(out.find("BTFTM : accept failed\n"), std::string::npos);
  EXPECT_EQ(out.find("Cleaning all resources"), std::string::npos);
}

TEST(Signals, CtrlCWhileWaitingForTheTestHostExitsOne) {
  Ftmd ftmd({"--type", "1"});
  Bridge bridge(ftmd.dir.path, "raw");
  ASSERT_TRUE(bridge.WaitListening());
  bridge.child->Signal(SIGINT);
  EXPECT_EQ(bridge.child->WaitExit(), 1);
  std::string out = bridge.child->Output();
  EXPECT_NE(out.find("Signalling the main thread to exit..\n"), std::string::npos);
  EXPECT_NE(out.find("BTFTM : accept failed\n"), std::string::npos);
  EXPECT_EQ(out.find("Cleaning all resources"), std::string::npos);
  // The readers the stop ended had their say before the process ended under them.
  for (const char* last : {"BTFTM : EventThread--\n", "BTFTM : AclThread--\n", "BTFTM : ScoThread--\n"})
    EXPECT_EQ(bridge.child->Count(last), 1) << last << out;
}

TEST(Signals, CtrlCWhileConnectedCleansUpAndExitsZero) {
  for (const char* mode : {"raw", "diag"}) {
    Ftmd ftmd({"--type", "1"});
    Bridge bridge(ftmd.dir.path, mode);
    ASSERT_TRUE(bridge.WaitListening());
    TestHost host(bridge.port);
    ASSERT_TRUE(bridge.child->WaitForOutput("BTFTM : Ethernet Connected!\n"));
    bridge.child->Signal(SIGINT);
    EXPECT_EQ(bridge.child->WaitExit(), 0) << mode;
    std::string out = bridge.child->Output();
    EXPECT_TRUE(bridge.child->HasInOrder(kCleanUpLines)) << out;
    // The stop sequence closed the driver: the clean-up has nothing to report about it.
    EXPECT_EQ(out.find("Error in closing FTM Driver"), std::string::npos);
    EXPECT_EQ(bridge.child->Count("Signalling the main thread to exit..\n"), 1);
  }
}

TEST(Signals, SigtermEndsTheBridge) {
  Ftmd ftmd({"--type", "1"});
  Bridge bridge(ftmd.dir.path, "raw");
  ASSERT_TRUE(bridge.WaitListening());
  bridge.child->Signal(SIGTERM);
  int code = bridge.child->WaitExit();
  EXPECT_NE(code, -1);  // it ended
  EXPECT_EQ(bridge.child->Output().find("Signalling the main thread"), std::string::npos);
}

}  // namespace
