// tarnexio-host against the real bridge and ftmd's simulated controller, in both modes
// and with both driver types: every step's line and JSON, ping, and the exit statuses; and
// the common steps against a controller nobody here wrote (BlueZ's btvirt behind ftmd).
#include <csignal>
#include <gtest/gtest.h>

#include "harness.h"

using namespace e2e;

namespace {

// A bridge on ftmd, listening; the tool connects to it itself.
struct Bench {
  Bench(const std::string& mode, const std::string& type) : ftmd({"--type", type}), bridge(ftmd.dir.path, mode) {
    ready = bridge.WaitListening();
  }
  Ftmd ftmd;
  Bridge bridge;
  bool ready = false;
};

struct ToolRun {
  int exit;
  std::string output;
};

ToolRun RunTool(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {HOST_TOOL_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  Child tool(argv, {});
  ToolRun r;
  r.exit = tool.WaitExit(Millis(30000));
  r.output = tool.Output();
  return r;
}

std::string Target(int port) { return "127.0.0.1:" + std::to_string(port); }

// A step's words, the line it prints and the JSON object it prints (each a part of its line).
struct StepCase {
  std::vector<std::string> words;
  const char* text;
  const char* json;
};

const StepCase kSteps[] = {
    {{"reset"}, "Command Complete HCI_Reset (0x0c03): Success (0x00)\n",
     "{\"kind\":\"command_complete\",\"command\":\"HCI_Reset\",\"opcode\":\"0x0c03\",\"status\":0,"
     "\"status_name\":\"Success\"}\n"},
    {{"bdaddr"}, "Command Complete HCI_Read_BD_ADDR (0x1009): Success (0x00), BD_ADDR 12:34:56:78:9A:BC\n",
     "\"bdaddr\":\"12:34:56:78:9A:BC\"}\n"},
    {{"version"},
     "HCI_Read_Local_Version_Information (0x1001): Success (0x00), HCI 5.3 (0x0c) revision 0x0001, LMP 5.3 (0x0c) "
     "subversion 0x0001, manufacturer 0xffff\n",
     "\"hci_version\":12,\"hci_version_name\":\"5.3\",\"hci_revision\":1,\"lmp_version\":12,"
     "\"lmp_version_name\":\"5.3\",\"lmp_subversion\":1,\"manufacturer\":65535}\n"},
    {{"dut"}, "Command Complete HCI_Enable_Device_Under_Test_Mode (0x1803): Success (0x00)\n",
     "\"command\":\"HCI_Enable_Device_Under_Test_Mode\",\"opcode\":\"0x1803\",\"status\":0"},
    {{"le-tx", "1", "37", "0"}, "Command Complete HCI_LE_Transmitter_Test (0x201e): Success (0x00)\n",
     "\"command\":\"HCI_LE_Transmitter_Test\",\"opcode\":\"0x201e\",\"status\":0"},
    {{"le-end"}, "Command Complete HCI_LE_Test_End (0x201f): Success (0x00), 0 packets received\n",
     "\"opcode\":\"0x201f\",\"status\":0,\"status_name\":\"Success\",\"packets\":0}\n"},
    {{"le-tx", "1", "37", "0", "2"}, "Command Complete HCI_LE_Transmitter_Test_v2 (0x2034): Success (0x00)\n",
     "\"opcode\":\"0x2034\",\"status\":0"},
    {{"le-rx", "5"}, "Command Complete HCI_LE_Receiver_Test (0x201d): Success (0x00)\n", "\"opcode\":\"0x201d\""},
    {{"le-rx", "5", "2"}, "Command Complete HCI_LE_Receiver_Test_v2 (0x2033): Success (0x00)\n",
     "\"opcode\":\"0x2033\""},
    {{"wait", "0.2", "le-end"}, "Command Complete HCI_LE_Test_End (0x201f): Success (0x00), ", "\"packets\":"},
    // A command sent raw, whose escaped parameters come back in its link's event.
    {{"cmd", "1:5", "7e7d44556677"}, "Command Status HCI_Create_Connection (0x0405): Success (0x00)\n",
     "{\"kind\":\"command_status\",\"command\":\"HCI_Create_Connection\",\"opcode\":\"0x0405\",\"status\":0"},
    {{"wait", "0.3"},
     "Connection Complete: Success (0x00), handle 0x0001, BD_ADDR 77:66:55:44:7D:7E, link type ACL, encryption off\n",
     "{\"kind\":\"connection_complete\",\"status\":0,\"status_name\":\"Success\",\"handle\":1,"
     "\"bdaddr\":\"77:66:55:44:7D:7E\",\"link_type\":1,\"encryption\":0}\n"},
    {{"cmd", "0x0406", "010016"}, "Command Status HCI_Disconnect (0x0406): Success (0x00)\n", "\"opcode\":\"0x0406\""},
    {{"wait", "0.3"},
     "Disconnection Complete: Success (0x00), handle 0x0001, reason Connection Terminated By Local Host (0x16)\n",
     "{\"kind\":\"disconnection_complete\",\"status\":0,\"status_name\":\"Success\",\"handle\":1,\"reason\":22,"},
    {{"cmd", "3:3"}, "Command Complete HCI_Reset (0x0c03): Success (0x00)\n", "\"opcode\":\"0x0c03\""},
};

const StepCase kDiagSteps[] = {
    {{"diag-version"},
     "Diag version: compiled Oct 08 2011 10:07:00, released Oct 08 2011 10:07:00, build AAA10000, then 00 01 ff 01 "
     "00 00 01 00\n",
     "{\"kind\":\"diag_version\",\"compiled\":\"Oct 08 2011 10:07:00\",\"released\":\"Oct 08 2011 10:07:00\","
     "\"build\":\"AAA10000\",\"rest\":\"0001ff0100000100\"}\n"},
    {{"diag-esn"}, "Diag esn: 0xdeadbeef\n", "{\"kind\":\"diag_esn\",\"esn\":\"0xdeadbeef\"}\n"},
    {{"diag-status"},
     "Diag status: words 0000000c babeface 00000006 00000000 00000000 00000000 0000ff00 00000000 00000000 "
     "00000000 00000000 00000000\n",
     "{\"kind\":\"diag_status\",\"words\":[12,3133078222,6,0,0,0,65280,0,0,0,0,0]}\n"},
};

// Runs every step in one connection, as text and as JSON, and finds each step's line in
// its order.
void CheckEveryStep(const std::string& mode, const std::string& type) {
  std::vector<StepCase> cases(std::begin(kSteps), std::end(kSteps));
  if (mode == "diag") cases.insert(cases.end(), std::begin(kDiagSteps), std::end(kDiagSteps));
  for (bool json : {false, true}) {
    Bench bench(mode, type);
    ASSERT_TRUE(bench.ready);
    std::vector<std::string> args = {"--mode", mode, Target(bench.bridge.port)};
    if (json) args.insert(args.begin(), "--json");
    std::vector<std::string> lines;
    for (const StepCase& c : cases) {
      args.insert(args.end(), c.words.begin(), c.words.end());
      lines.push_back(json ? c.json : c.text);
    }
    const ToolRun r = RunTool(args);
    EXPECT_EQ(r.exit, 0) << r.output;
    EXPECT_TRUE(ContainsInOrder(r.output, lines)) << mode << " type " << type << "\n" << r.output;
    EXPECT_EQ(r.output.find("Not decoded"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("not_decoded"), std::string::npos) << r.output;
  }
}

TEST(HostTool, EveryStepRawModeType1) { CheckEveryStep("raw", "1"); }
TEST(HostTool, EveryStepRawModeType2) { CheckEveryStep("raw", "2"); }
TEST(HostTool, EveryStepDiagModeType1) { CheckEveryStep("diag", "1"); }
TEST(HostTool, EveryStepDiagModeType2) { CheckEveryStep("diag", "2"); }

TEST(HostTool, PingReportsOrderedRoundTripTimesInBothModes) {
  for (const char* mode : {"raw", "diag"}) {
    Bench bench(mode, "1");
    ASSERT_TRUE(bench.ready);
    const ToolRun r = RunTool({"--json", "--mode", mode, Target(bench.bridge.port), "ping", "200"});
    ASSERT_EQ(r.exit, 0) << r.output;
    long long mn, med, p99, mx;
    const size_t at = r.output.find("{\"kind\":\"ping\",\"count\":200,");
    ASSERT_NE(at, std::string::npos) << r.output;
    ASSERT_EQ(std::sscanf(r.output.c_str() + at,
                          "{\"kind\":\"ping\",\"count\":200,\"min_us\":%lld,\"median_us\":%lld,\"p99_us\":%lld,"
                          "\"max_us\":%lld}",
                          &mn, &med, &p99, &mx),
              4)
        << r.output;
    EXPECT_GT(mn, 0);
    EXPECT_LE(mn, med);
    EXPECT_LE(med, p99);
    EXPECT_LE(p99, mx);
    // Only the summary: the 200 answers are not printed one by one.
    EXPECT_EQ(r.output.find("HCI_Read_BD_ADDR"), std::string::npos);
  }
}

TEST(HostTool, ExitStatusSaysWhatWentWrong) {
  {  // a controller error status: the simulated controller does not know Read Local Name
    Bench bench("raw", "1");
    ASSERT_TRUE(bench.ready);
    const ToolRun r = RunTool({Target(bench.bridge.port), "reset", "name", "bdaddr"});
    EXPECT_EQ(r.exit, 1) << r.output;
    EXPECT_TRUE(ContainsInOrder(r.output, {"Command Complete HCI_Read_Local_Name (0x0c14): Unknown HCI Command (0x01)\n",
                                           "tarnexio-host: name failed: Unknown HCI Command (0x01)\n"}))
        << r.output;
    EXPECT_EQ(r.output.find("HCI_Read_BD_ADDR"), std::string::npos) << "steps after a failure do not run";
  }
  {  // a step timing out: the controller goes silent once the bridge is up
    Bench bench("diag", "2");
    ASSERT_TRUE(bench.ready);
    bench.ftmd.child->Signal(SIGSTOP);
    const ToolRun r = RunTool({"--json", "--mode", "diag", "--timeout", "0.5", Target(bench.bridge.port), "reset"});
    bench.ftmd.child->Signal(SIGCONT);
    EXPECT_EQ(r.exit, 3) << r.output;
    EXPECT_NE(r.output.find("{\"kind\":\"error\",\"step\":\"reset\",\"error\":\"timeout\","
                            "\"detail\":\"no answer within 0.5 s\"}\n"),
              std::string::npos)
        << r.output;
  }
  {  // nothing listening
    const ToolRun r = RunTool({Target(FreePort()), "reset"});
    EXPECT_EQ(r.exit, 3) << r.output;
    EXPECT_NE(r.output.find("tarnexio-host: connect: cannot connect to 127.0.0.1:"), std::string::npos) << r.output;
  }
  {  // a bad step, caught before any connection
    const ToolRun r = RunTool({Target(FreePort()), "reset", "frobnicate"});
    EXPECT_EQ(r.exit, 2) << r.output;
    EXPECT_TRUE(ContainsInOrder(r.output, {"tarnexio-host: unknown step 'frobnicate'\n", "usage: tarnexio-host"}));
  }
}

TEST(HostTool, ScriptFileRunsItsStepsInOrder) {
  Bench bench("raw", "2");
  ASSERT_TRUE(bench.ready);
  TempDir dir;
  const std::string path = dir.path + "/bench.txt";
  FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("# daily check\nreset\nbdaddr   # the board's address\nle-rx 10\nle-end\n", f);
  std::fclose(f);
  const ToolRun r = RunTool({Target(bench.bridge.port), "--script", path});
  EXPECT_EQ(r.exit, 0) << r.output;
  EXPECT_TRUE(ContainsInOrder(r.output, {"HCI_Reset", "BD_ADDR 12:34:56:78:9A:BC", "HCI_LE_Receiver_Test (0x201d)",
                                         "HCI_LE_Test_End"}))
      << r.output;
}

}  // namespace

TEST(HostTool, CommonStepsAgainstBlueZsEmulatedController) {
  if (FindProgram("btvirt").empty()) GTEST_SKIP() << "btvirt is not installed (Debian package bluez-test-tools)";
  const std::string why = PrivateTmp();
  if (!why.empty()) GTEST_SKIP() << "btvirt's sockets need a private /tmp: " << why;
  Btvirt btvirt;
  ASSERT_TRUE(btvirt.ready) << btvirt.child->Output();
  for (const char* mode : {"raw", "diag"}) {
    Ftmd ftmd({"--type", "1", "--controller", std::string("unix:") + kBtvirtSocket});
    Bridge bridge(ftmd.dir.path, mode);
    ASSERT_TRUE(bridge.WaitListening()) << bridge.child->Output();
    const ToolRun r = RunTool({"--mode", mode, Target(bridge.port), "reset", "bdaddr", "version", "ping", "20"});
    EXPECT_EQ(r.exit, 0) << r.output;
    // btvirt's own answers: its address and version are not the simulated controller's.
    EXPECT_TRUE(ContainsInOrder(r.output, {"Command Complete HCI_Reset (0x0c03): Success (0x00)\n",
                                           "HCI_Read_BD_ADDR (0x1009): Success (0x00), BD_ADDR ",
                                           "HCI_Read_Local_Version_Information (0x1001): Success (0x00), HCI ",
                                           "ping: 20 round trips, min "}))
        << mode << "\n" << r.output;
    EXPECT_EQ(r.output.find("12:34:56:78:9A:BC"), std::string::npos) << r.output;
  }
}
