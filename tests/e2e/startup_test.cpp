// The bridge's command line, driver open, FTM mode and ways out, run as a real process.
#include "harness.h"

#include <csignal>
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

TEST(CommandLine, WrongCountOrFlagPrintsUsageAndExitsMinusOne) {
  TempDir dir;
  for (const auto& args : std::vector<std::vector<std::string>>{
           {},
           {"-p", "2390", "-m"},
           {"-p", "2390", "-m", "raw", "x"},
           {"-P", "2390", "-m", "raw"},
           {"-p", "2390", "-M", "raw"},
           {"-px", "2390", "-m", "raw"},
           {"-p", "2390", "-mode", "raw"},
           {"-m", "raw", "-p", "2390"}}) {
    Outcome r = RunToEnd(args, dir.path);
    EXPECT_EQ(r.code, 255);
    EXPECT_EQ(r.out, kUsage);
  }
}

TEST(CommandLine, BadPortAndModeAreRefused) {
  TempDir dir;
  for (const char* port : {"0", "abc", "", "65536", "131072", "-65536"}) {
    Outcome r = RunToEnd({"-p", port, "-m", "raw"}, dir.path);
    EXPECT_EQ(r.code, 255) << port;
    EXPECT_EQ(r.out, "The input port number is invalid\n") << port;
  }
  for (const char* mode : {"Diag", "diagx", "ra", "rawr", "RAW", ""}) {
    Outcome r = RunToEnd({"-p", "2390", "-m", mode}, dir.path);
    EXPECT_EQ(r.code, 255) << mode;
    EXPECT_EQ(r.out, "The input mode is invalid\n") << mode;
  }
  // A bad port and a bad mode together: only the port is reported.
  Outcome both = RunToEnd({"-p", "x", "-m", "y"}, dir.path);
  EXPECT_EQ(both.out, "The input port number is invalid\n");
}

TEST(DriverOpen, NoDriverCleansUpAndExitsZero) {
  TempDir dir;
  Outcome r = RunToEnd({"-p", "2390", "-m", "raw"}, dir.path);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, std::string("FtmApp:InitiateStruct++\n"
                               "FtmApp:InitiateStruct--\n"
                               "BTFTM : opening FTM Driver handle\n"
                               "BTFTM : FTM Driver handle Open Failed\n") +
                       kCleanUp);
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
  EXPECT_EQ(r.code, 0);
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
