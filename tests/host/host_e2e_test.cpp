// tarnexio-host against the real bridge and ftmd's simulated controller, in both modes
// and with both driver types: every step's line and JSON, ping, and the exit statuses; and
// the common steps against a controller nobody here wrote (BlueZ's btvirt behind ftmd).
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <poll.h>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "btvirt_watch.h"
#include "harness.h"
#include "loopback_listener.h"

using namespace e2e;
using tarnexio_test::BtvirtCrashFromShellStatus;

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

// What a refused connection means, after the system's reason.
const std::string kRefusedWhy =
    "no bridge listens there, or the bridge there is already serving a test host (one run serves one host, and it "
    "stops listening once that host connects); start the bridge, or wait until its host is done and start it again\n";

// A step's words, the line it prints and the JSON object it prints (each a part of its line).
// A case without words holds a further line of the step before.
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
    {{"await", "connection-complete"},
     "Connection Complete: Success (0x00), handle 0x0001, BD_ADDR 77:66:55:44:7D:7E, link type ACL, encryption off\n",
     "{\"kind\":\"connection_complete\",\"status\":0,\"status_name\":\"Success\",\"handle\":1,"
     "\"bdaddr\":\"77:66:55:44:7D:7E\",\"link_type\":1,\"encryption\":0}\n"},
    {{"cmd", "0x0406", "010016"}, "Command Status HCI_Disconnect (0x0406): Success (0x00)\n", "\"opcode\":\"0x0406\""},
    {{"await", "disconnection-complete"},
     "Disconnection Complete: Success (0x00), handle 0x0001, reason Connection Terminated By Local Host (0x16)\n",
     "{\"kind\":\"disconnection_complete\",\"status\":0,\"status_name\":\"Success\",\"handle\":1,\"reason\":22,"},
    {{"cmd", "3:3"}, "Command Complete HCI_Reset (0x0c03): Success (0x00)\n", "\"opcode\":\"0x0c03\""},
    {{"ping", "3"}, "ping: 3 round trips, min ", "{\"kind\":\"ping\",\"count\":3,"},
    {{"name"}, "Command Complete HCI_Read_Local_Name (0x0c14): Success (0x00), name \"ftmd simulated controller\"\n",
     "\"name\":\"ftmd simulated controller\"}\n"},
    {{"set-name", "bench-7", "name"}, "HCI_Read_Local_Name (0x0c14): Success (0x00), name \"bench-7\"\n",
     "\"name\":\"bench-7\"}\n"},
    {{"cmd", "0x0c01", "ff", "ff", "ff", "ff", "ff", "9f:ff", "3d"},
     "Command Complete HCI_Set_Event_Mask (0x0c01): Success (0x00)\n", "\"opcode\":\"0x0c01\",\"status\":0"},
    {{"scan"}, "Command Complete HCI_Write_Scan_Enable (0x0c1a): Success (0x00)\n", "\"opcode\":\"0x0c1a\""},
    {{"inquiry", "1"}, "inquiry: 1 device found: 12:34:56:78:9A:BD\n",
     "{\"kind\":\"inquiry\",\"devices\":[\"12:34:56:78:9A:BD\"]}\n"},
    // Ended by the step at the first answer, and answered in both modes.
    {{"inquiry", "5", "1"}, "Command Complete HCI_Inquiry_Cancel (0x0402): Success (0x00)\n",
     "{\"kind\":\"command_complete\",\"command\":\"HCI_Inquiry_Cancel\",\"opcode\":\"0x0402\",\"status\":0,"},
    {{}, "inquiry: 1 device found: 12:34:56:78:9A:BD\n", "{\"kind\":\"inquiry\",\"devices\":[\"12:34:56:78:9A:BD\"]}\n"},
    {{"connect", "$found"}, "Connection Complete: Success (0x00), handle 0x0002, BD_ADDR 12:34:56:78:9A:BD",
     "{\"kind\":\"connection_complete\",\"status\":0,\"status_name\":\"Success\",\"handle\":2,"},
    {{"accept"}, "", ""},
    {{"cmd", "0x0401", "338b9e", "01", "00"}, "Command Status HCI_Inquiry (0x0401): Success (0x00)\n",
     "\"opcode\":\"0x0401\",\"status\":0"},
    {{"await", "inquiry-complete", "10"}, "Inquiry Complete: Success (0x00)\n",
     "{\"kind\":\"inquiry_complete\",\"status\":0,\"status_name\":\"Success\"}\n"},
    {{"disconnect", "$handle"}, "Disconnection Complete: Success (0x00), handle 0x0002, reason Connection Terminated",
     "{\"kind\":\"disconnection_complete\",\"status\":0,\"status_name\":\"Success\",\"handle\":2,"},
};

// A type 1 driver carries ACL data (the simulated controller loops it back as the remote
// device would); in raw mode the test host sends it as well.
const StepCase kType1Steps[] = {
    {{"connect", "12:34:56:78:9A:BD"}, "Connection Complete: Success (0x00), handle 0x0003", "\"handle\":3,"},
    {{"cmd", "63:1", "0300", "0300", "0500", "00"}, "ACL data: handle 0x0003, flags 0x2, 5 bytes: 00 01 02 03 04\n",
     "{\"kind\":\"acl\",\"handle\":3,\"flags\":2,\"hex\":\"0001020304\"}\n"},
    {{"recv", "$handle", "3"}, "recv: 3 packets, 15 bytes on handle 0x0003\n",
     "{\"kind\":\"received\",\"handle\":3,\"packets\":3,\"bytes\":15,\"checked\":\"no\"}\n"},
};

const StepCase kRawSteps[] = {
    {{"send", "$handle", "20", "1-1021"}, "send: 20 packets, 10220 bytes on handle 0x0003, all completed\n",
     "{\"kind\":\"sent\",\"handle\":3,\"packets\":20,\"bytes\":10220}\n"},
    {{"recv", "3", "20", "1-1021"}, "recv: 20 packets, 10220 bytes on handle 0x0003, each as sent\n",
     "{\"kind\":\"received\",\"handle\":3,\"packets\":20,\"bytes\":10220,\"checked\":\"as_sent\"}\n"},
    {{"send", "3", "2", "data", "7e7d", "00"}, "send: 2 packets, 6 bytes on handle 0x0003, all completed\n",
     "\"packets\":2,\"bytes\":6}\n"},
    {{"recv", "3", "2", "data", "7e:7d:00"}, "recv: 2 packets, 6 bytes on handle 0x0003, each as sent\n",
     "\"checked\":\"as_sent\"}\n"},
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
  if (type == "1") cases.insert(cases.end(), std::begin(kType1Steps), std::end(kType1Steps));
  if (type == "1" && mode == "raw") cases.insert(cases.end(), std::begin(kRawSteps), std::end(kRawSteps));
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

// Every step the README's table of tarnexio-host lists is among those run above against the
// simulated controller, so that the first thing a user tries from it works.
TEST(HostTool, EveryStepOfTheReadmeTableIsRunAgainstTheSimulatedController) {
  std::ifstream file(README_PATH);
  std::stringstream text;
  text << file.rdbuf();
  const std::string readme = text.str();
  const size_t from = readme.find("\n## tarnexio-host");
  ASSERT_NE(from, std::string::npos);
  const std::string section = readme.substr(from, readme.find("\n## ", from + 1) - from);
  std::set<std::string> run;
  for (const StepCase& c : kSteps) run.insert(c.words.begin(), c.words.end());
  for (const StepCase& c : kDiagSteps) run.insert(c.words.begin(), c.words.end());
  for (const StepCase& c : kType1Steps) run.insert(c.words.begin(), c.words.end());
  for (const StepCase& c : kRawSteps) run.insert(c.words.begin(), c.words.end());
  std::istringstream lines(section);
  std::string line;
  int listed = 0;
  while (std::getline(lines, line)) {
    if (line.rfind("| `", 0) != 0) continue;
    const std::string cell = line.substr(2, line.find(" |", 2) - 2);
    for (size_t at = cell.find('`'); at != std::string::npos; at = cell.find('`', cell.find('`', at + 1) + 1)) {
      const std::string step = cell.substr(at + 1, cell.find_first_of(" `", at + 1) - at - 1);
      ++listed;
      EXPECT_EQ(run.count(step), 1u) << "the README lists '" << step << "', which no case here runs";
    }
  }
  EXPECT_GE(listed, 23);
}

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
  {  // a controller error status, in a Command Complete and in a Command Status
    for (const auto& failing : std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>>{
             {{"cmd", "3:0x7f"},
              {"Command Complete OGF 0x03 OCF 0x007f (0x0c7f): Unknown HCI Command (0x01)\n",
               "tarnexio-host: cmd failed: Unknown HCI Command (0x01)\n"}},
             {{"disconnect", "9"},
              {"Command Status HCI_Disconnect (0x0406): Unknown Connection Identifier (0x02)\n",
               "tarnexio-host: disconnect failed: Unknown Connection Identifier (0x02)\n"}}}) {
      Bench bench("raw", "1");
      ASSERT_TRUE(bench.ready);
      std::vector<std::string> args = {Target(bench.bridge.port), "reset"};
      args.insert(args.end(), failing.first.begin(), failing.first.end());
      args.push_back("bdaddr");
      const ToolRun r = RunTool(args);
      EXPECT_EQ(r.exit, 1) << r.output;
      EXPECT_TRUE(ContainsInOrder(r.output, failing.second)) << r.output;
      EXPECT_EQ(r.output.find("HCI_Read_BD_ADDR"), std::string::npos) << "steps after a failure do not run";
    }
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
  {  // nothing listening: the system's reason as text, and what it usually means
    const ToolRun r = RunTool({Target(FreePort()), "reset"});
    EXPECT_EQ(r.exit, 3) << r.output;
    EXPECT_TRUE(ContainsInOrder(r.output, {"tarnexio-host: connect: cannot connect to 127.0.0.1:", " (error ",
                                           ": Connection refused): " + kRefusedWhy}))
        << r.output;
  }
  {  // the wrong mode: a diag bridge stays silent to raw packets; a raw bridge answers a diag
     // request's HCI command with H4 bytes; each run says which mode to try. Where an
     // answer does come, the tool waits long enough for it on a loaded machine too.
    const struct {
      const char* bridgeMode;
      const char* toolMode;
      std::vector<std::string> steps;
      const char* timeout;
      const char* hint;
    } cases[] = {
        {"diag", "raw", {"reset"}, "0.5", "tarnexio-host: reset: no answer within 0.5 s; nothing at all came back: a "
                                          "bridge in diag mode stays silent to raw requests, so try --mode diag\n"},
        // The flag in the parameters closes a diag request (esn): its reply is a diag frame.
        {"diag", "raw", {"cmd", "0x0c1a", "7e"}, "5",
         "tarnexio-host: what came back looks like diag frames, not H4 packets: try --mode diag\n"},
        {"raw", "diag", {"reset"}, "5",
         "tarnexio-host: reset: no answer within 5 s; what came back looks like H4 packets, not diag frames: try "
         "--mode raw\n"},
        {"raw", "diag", {"diag-esn"}, "0.5", "tarnexio-host: diag-esn: no answer within 0.5 s; nothing at all came "
                                             "back: a bridge in raw mode stays silent to diag requests, so try --mode raw\n"},
    };
    for (const auto& c : cases) {
      Bench bench(c.bridgeMode, "1");
      ASSERT_TRUE(bench.ready);
      std::vector<std::string> args = {"--mode", c.toolMode, "--timeout", c.timeout, Target(bench.bridge.port)};
      args.insert(args.end(), c.steps.begin(), c.steps.end());
      const ToolRun r = RunTool(args);
      EXPECT_EQ(r.exit, 3) << r.output;
      EXPECT_NE(r.output.find(c.hint), std::string::npos) << r.output;
    }
  }
}

// A refused connection cannot tell an absent bridge from one whose run serves a host
// already (it stops listening then): the tool names both, and what to do.
TEST(HostTool, ARefusedConnectionSaysTheBridgeMayBeAbsentOrServingAHost) {
  Bench bench("raw", "1");
  ASSERT_TRUE(bench.ready);
  e2e::TestHost first(bench.bridge.port);
  ASSERT_TRUE(bench.bridge.child->WaitForOutput("BTFTM : Ethernet Connected!\n"));
  const ToolRun r = RunTool({Target(bench.bridge.port), "reset"});
  EXPECT_EQ(r.exit, 3) << r.output;
  EXPECT_TRUE(ContainsInOrder(r.output, {"tarnexio-host: connect: cannot connect to 127.0.0.1:", kRefusedWhy}))
      << r.output;
  first.Close();
  EXPECT_EQ(bench.bridge.child->WaitExit(), 0);
}

// A mistake on the command line or in a script is one line that names it and points to
// --help; it is found before connecting, so that the bridge's one run is not spent on it.
TEST(HostTool, AMistakeIsOneLineFoundBeforeTheBridgeIsReached) {
  Bench bench("raw", "1");
  ASSERT_TRUE(bench.ready);
  TempDir dir;
  const std::string script = dir.path + "/steps.txt";
  ASSERT_TRUE(std::ofstream(script) << "reset\nsend $handle 10 27   # no connect before it\n");
  const std::string target = Target(bench.bridge.port);
  const struct {
    std::vector<std::string> args;
    std::string why;
  } cases[] = {
      {{"--wait-bridge", "5", target, "reset", "rest"}, "unknown step 'rest' after 'reset'"},
      {{"--wait-bridge", "5", target, "disconnect", "$handle"},
       "step 1 (disconnect) uses $handle, but no connect or await comes before it to take one"},
      {{"--wait-bridge", "5", target, "reset", "connect", "$found"},
       "step 2 (connect) connects to $found, but no inquiry (an inquiry step, or cmd 0x0401) comes before it"},
      {{"--wait-bridge", "5", target, "--script", script},
       "step 2 (send) uses $handle, but no connect or await comes before it to take one"},
      {{"--wait-bridge", "5", target, "--script", dir.path + "/none.txt"}, "cannot read script " + dir.path + "/none.txt"},
      {{"--mode", "RAW", target, "reset"}, "--mode needs raw or diag"},
      {{"--wait-brigde", "5", target, "reset"}, "unknown option --wait-brigde"},
      {{target}, "no steps given"},
  };
  for (const auto& c : cases) {
    const ToolRun r = RunTool(c.args);
    EXPECT_EQ(r.exit, 2) << r.output;
    EXPECT_EQ(r.output, "tarnexio-host: " + c.why + "; 'tarnexio-host --help' lists the options and steps\n");
  }
  EXPECT_TRUE(bench.bridge.child->Running());
  EXPECT_EQ(bench.bridge.child->Count("BTFTM : Ethernet Connected!"), 0) << bench.bridge.child->Output();
  // The run is still there for the host that gets it right.
  const ToolRun right = RunTool({"--wait-bridge", "5", target, "reset"});
  EXPECT_EQ(right.exit, 0) << right.output;
}

TEST(HostTool, ScriptFileRunsItsStepsInOrder) {
  Bench bench("raw", "2");
  ASSERT_TRUE(bench.ready);
  TempDir dir;
  const std::string path = dir.path + "/bench.txt";
  ASSERT_TRUE(std::ofstream(path) << "# daily check\nreset\nbdaddr   # the board's address\nle-rx 10\nle-end\n");
  const ToolRun r = RunTool({Target(bench.bridge.port), "--script", path});
  EXPECT_EQ(r.exit, 0) << r.output;
  EXPECT_TRUE(ContainsInOrder(r.output, {"HCI_Reset", "BD_ADDR 12:34:56:78:9A:BC", "HCI_LE_Receiver_Test (0x201d)",
                                         "HCI_LE_Test_End"}))
      << r.output;
}

// A controller of the test's own behind a loopback port, as a raw bridge shows it: each H4
// command the tool sends is answered with the events the case gives, and kept with the
// time it came.
class ScriptedController {
 public:
  using Answer = std::function<Bytes(uint16_t opcode)>;
  struct Received {
    uint16_t opcode;
    Bytes params;
    std::chrono::steady_clock::time_point at;
  };

  explicit ScriptedController(Answer answer) : answer_(std::move(answer)) {
    listener_ = tarnexio_test::ListenOnLoopback(&port);
    if (listener_ >= 0 && pipe2(stop_, O_CLOEXEC) == 0) thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedController() {
    if (thread_.joinable()) {
      (void)!write(stop_[1], "x", 1);
      thread_.join();
    }
    for (int fd : {listener_, stop_[0], stop_[1]})
      if (fd >= 0) close(fd);
  }
  std::vector<Received> Commands() {
    std::lock_guard<std::mutex> hold(lock_);
    return commands_;
  }
  int port = 0;

 private:
  // Waits for fd to be readable; false when the test ends first.
  bool Readable(int fd) {
    pollfd p[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    while (poll(p, 2, -1) < 0)
      if (errno != EINTR) return false;
    return p[1].revents == 0;
  }
  void Serve() {
    if (!Readable(listener_)) return;
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    Bytes in;
    uint8_t buf[512];
    ssize_t n;
    while (fd >= 0 && Readable(fd) && (n = read(fd, buf, sizeof buf)) > 0) {
      in.insert(in.end(), buf, buf + n);
      while (in.size() >= 4 && in[0] == 0x01 && in.size() >= 4u + in[3]) {
        const uint16_t opcode = (uint16_t)(in[1] | in[2] << 8);
        {
          std::lock_guard<std::mutex> hold(lock_);
          commands_.push_back({opcode, Bytes(in.begin() + 4, in.begin() + 4 + in[3]), std::chrono::steady_clock::now()});
        }
        in.erase(in.begin(), in.begin() + 4 + in[3]);
        const Bytes out = answer_(opcode);
        if (!out.empty() && send(fd, out.data(), out.size(), MSG_NOSIGNAL) != (ssize_t)out.size()) break;
      }
    }
    if (fd >= 0) close(fd);
  }

  Answer answer_;
  int listener_ = -1;
  int stop_[2] = {-1, -1};
  std::mutex lock_;
  std::vector<Received> commands_;
  std::thread thread_;
};

Bytes Joined(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

const uint16_t kInquiry = 0x0401, kInquiryCancel = 0x0402, kReadBdAddr = 0x1009;
const Bytes kInquiryStarted = Hex("04 0f 04 00 01 01 04");
const Bytes kOneAnswers = Hex("04 02 0f 01 66 55 44 33 22 11 01 00 00 0c 01 1f 00 00");  // 11:22:33:44:55:66
const Bytes kInquiryComplete = Hex("04 01 01 00");
const Bytes kCancelled = Hex("04 0e 04 01 02 04 00");
const Bytes kNothingToCancel = Hex("04 0e 04 01 02 04 0c");  // Command Disallowed
const Bytes kPageTimeout = Hex("04 03 0b 04 00 00 77 66 55 44 33 22 01 00");
const Bytes kAddress = Hex("04 0e 0a 01 09 10 00 bc 9a 78 56 34 12");

// The inquiry step ends the inquiry itself, with Inquiry Cancel, when its time is up or
// enough devices have answered, so that none runs its whole length on the controller (the
// length it asks for is well past its own time); an inquiry that ends on its own is left
// alone, also when it ends just as the cancel goes out; a failure on the way still ends it.
TEST(HostTool, TheInquiryStepEndsItsInquiryItself) {
  const struct {
    const char* what;
    std::vector<std::string> steps;
    Bytes inquiryAnswer, cancelAnswer;
    int exit;
    bool cancels;
    uint8_t length;         // asked of the controller, in units of 1.28 s
    long minCancelMs;       // the cancel comes no sooner than this after the inquiry
    std::vector<std::string> lines;
  } cases[] = {
      {"its time is up", {"inquiry", "1", "bdaddr"}, Joined({kInquiryStarted, kOneAnswers}), kCancelled, 0, true, 5,
       1000,
       {"Inquiry Result: 1 response: 11:22:33:44:55:66", "Command Complete HCI_Inquiry_Cancel (0x0402): Success (0x00)\n",
        "inquiry: 1 device found: 11:22:33:44:55:66\n", "BD_ADDR 12:34:56:78:9A:BC"}},
      {"enough devices answered", {"inquiry", "30", "1", "bdaddr"}, Joined({kInquiryStarted, kOneAnswers}), kCancelled,
       0, true, 28, 0,
       {"Command Complete HCI_Inquiry_Cancel (0x0402): Success (0x00)\n", "inquiry: 1 device found: 11:22:33:44:55:66\n",
        "BD_ADDR 12:34:56:78:9A:BC"}},
      {"the controller ended it", {"inquiry", "1", "bdaddr"},
       Joined({kInquiryStarted, kOneAnswers, kInquiryComplete}), kNothingToCancel, 0, false, 5, 0,
       {"Inquiry Complete: Success (0x00)\n", "inquiry: 1 device found: 11:22:33:44:55:66\n",
        "BD_ADDR 12:34:56:78:9A:BC"}},
      {"it ended as the cancel went out", {"inquiry", "1", "1", "bdaddr"}, Joined({kInquiryStarted, kOneAnswers}),
       Joined({kInquiryComplete, kNothingToCancel}), 0, true, 5, 0,
       {"Inquiry Complete: Success (0x00)\n",
        "Command Complete HCI_Inquiry_Cancel (0x0402): Command Disallowed (0x0c)\n",
        "inquiry: 1 device found: 11:22:33:44:55:66\n", "BD_ADDR 12:34:56:78:9A:BC"}},
      {"another event failed", {"inquiry", "10", "bdaddr"}, Joined({kInquiryStarted, kOneAnswers, kPageTimeout}),
       kCancelled, 1, true, 12, 0,
       {"Connection Complete: Page Timeout (0x04)", "Command Complete HCI_Inquiry_Cancel (0x0402): Success (0x00)\n",
        "tarnexio-host: inquiry failed: Page Timeout (0x04)\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedController controller([&c](uint16_t opcode) {
      return opcode == kInquiry ? c.inquiryAnswer : opcode == kInquiryCancel ? c.cancelAnswer
                                                 : opcode == kReadBdAddr     ? kAddress
                                                                             : Bytes{};
    });
    ASSERT_NE(controller.port, 0);
    std::vector<std::string> args = {Target(controller.port)};
    args.insert(args.end(), c.steps.begin(), c.steps.end());
    const ToolRun r = RunTool(args);
    EXPECT_EQ(r.exit, c.exit) << r.output;
    EXPECT_TRUE(ContainsInOrder(r.output, c.lines)) << r.output;
    const std::vector<ScriptedController::Received> sent = controller.Commands();
    ASSERT_GE(sent.size(), 1u);
    EXPECT_EQ(sent[0].opcode, kInquiry);
    EXPECT_EQ(sent[0].params, (Bytes{0x33, 0x8B, 0x9E, c.length, 0x00})) << "general access code, any number";
    const auto cancel = std::find_if(sent.begin(), sent.end(), [](const auto& s) { return s.opcode == kInquiryCancel; });
    EXPECT_EQ(cancel != sent.end(), c.cancels);
    if (cancel != sent.end()) {
      EXPECT_EQ(cancel - sent.begin(), 1) << "the cancel comes next";
      EXPECT_GE(std::chrono::duration_cast<Millis>(cancel->at - sent[0].at).count(), c.minCancelMs);
    }
    EXPECT_EQ(sent.back().opcode, c.exit == 0 ? kReadBdAddr : kInquiryCancel) << "the steps after it run";
  }
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

namespace {

// The answer to the peripheral's scan step, in JSON: its scans are on.
const char kScanOn[] = "\"command\":\"HCI_Write_Scan_Enable\",\"opcode\":\"0x0c1a\",\"status\":0,";

// Runs an example script pair on two benches in front of one btvirt: the peripheral's
// bridge in raw mode, the central's in the mode given. Both runs must end with 0; the ACL
// data each receiver printed is checked here against the pattern the scripts send (sizes
// rising from 1 to 192 over 100 packets, byte j of packet k being k + j).
void RunExampleScripts(const std::string& centralMode, const std::string& centralScript,
                       const std::string& peripheralScript) {
  Btvirt btvirt;
  ASSERT_TRUE(btvirt.ready) << btvirt.child->Output();
  const std::vector<std::string> controller = {"--controller", std::string("unix:") + kBtvirtSocket};
  Ftmd ftmdA(controller), ftmdB(controller);
  Bridge central(ftmdA.dir.path, centralMode), peripheral(ftmdB.dir.path, "raw");
  ASSERT_TRUE(central.WaitListening() && peripheral.WaitListening());
  Child peripheralHost({HOST_TOOL_BIN, "--json", Target(peripheral.port), "--script", EXAMPLES_DIR "/" + peripheralScript},
                       {});
  // btvirt answers an inquiry with the controllers whose scans are on when it begins: the
  // central inquires once the peripheral's are on, as the README's commands do.
  ASSERT_TRUE(peripheralHost.WaitForOutput(kScanOn, Millis(30000))) << peripheralHost.Output();
  const ToolRun c = RunTool({"--json", "--mode", centralMode, Target(central.port), "--script",
                             EXAMPLES_DIR "/" + centralScript});
  ToolRun p;
  p.exit = peripheralHost.WaitExit(Millis(30000));
  p.output = peripheralHost.Output();
  EXPECT_EQ(c.exit, 0) << c.output;
  EXPECT_EQ(p.exit, 0) << p.output;

  auto checkReceived = [](const std::string& out) {
    int k = 0;
    size_t lastSize = 0;
    for (size_t at = out.find("{\"kind\":\"acl\","); at != std::string::npos;
         at = out.find("{\"kind\":\"acl\",", at + 1), ++k) {
      const size_t hexAt = out.find("\"hex\":\"", at) + 7;
      const std::string hex = out.substr(hexAt, out.find('"', hexAt) - hexAt);
      const size_t size = hex.size() / 2;
      EXPECT_GE(size, k == 0 ? 1u : lastSize) << "packet " << k;
      EXPECT_LE(size, 192u);
      for (size_t j = 0; j < size; ++j)
        ASSERT_EQ(std::stoi(hex.substr(2 * j, 2), nullptr, 16), int((k + j) & 0xFF)) << "packet " << k << " byte " << j;
      lastSize = size;
    }
    EXPECT_EQ(k, 100);
    EXPECT_EQ(lastSize, 192u);
    EXPECT_NE(out.find("{\"kind\":\"received\",\"handle\":"), std::string::npos);
    EXPECT_NE(out.find(",\"packets\":100,\"bytes\":9650,\"checked\":\"as_sent\"}\n"), std::string::npos) << out;
  };
  const bool both = centralMode == "raw";
  checkReceived(c.output);
  EXPECT_NE(p.output.find(",\"packets\":100,\"bytes\":9650}\n"), std::string::npos) << "every packet completed";
  if (both) {
    checkReceived(p.output);
    EXPECT_NE(c.output.find(",\"packets\":100,\"bytes\":9650}\n"), std::string::npos);
  }
  for (const std::string* out : {&c.output, static_cast<const std::string*>(&p.output)}) {
    EXPECT_NE(out->find("{\"kind\":\"disconnection_complete\",\"status\":0,"), std::string::npos) << *out;
    EXPECT_EQ(out->find("not_decoded"), std::string::npos) << *out;
  }
}

struct TwoBenches : ::testing::Test {
  void SetUp() override {
    if (FindProgram("btvirt").empty()) GTEST_SKIP() << "btvirt is not installed (Debian package bluez-test-tools)";
    const std::string why = PrivateTmp();
    if (!why.empty()) GTEST_SKIP() << "btvirt's sockets need a private /tmp: " << why;
  }
};

}  // namespace

TEST_F(TwoBenches, ExampleScriptsConnectAndCarryAclDataBothWaysInRawMode) {
  RunExampleScripts("raw", "central.txt", "peripheral.txt");
}

TEST_F(TwoBenches, ExampleScriptsCarryAclDataToACentralInDiagMode) {
  RunExampleScripts("diag", "central-diag.txt", "peripheral-to-diag.txt");
}

TEST_F(TwoBenches, AConnectionThatFailsInItsEventFailsTheRun) {
  Btvirt btvirt;
  ASSERT_TRUE(btvirt.ready) << btvirt.child->Output();
  Ftmd ftmd({"--controller", std::string("unix:") + kBtvirtSocket});
  Bridge bridge(ftmd.dir.path, "raw");
  ASSERT_TRUE(bridge.WaitListening());
  // Nobody has this address: the Command Status is a success, the Connection Complete not.
  const ToolRun r = RunTool({"--timeout", "10", Target(bridge.port), "reset", "connect", "00:11:22:33:44:55", "bdaddr"});
  EXPECT_EQ(r.exit, 1) << r.output;
  EXPECT_TRUE(ContainsInOrder(r.output, {"Command Status HCI_Create_Connection (0x0405): Success (0x00)\n",
                                         "Connection Complete: Page Timeout (0x04), handle ",
                                         "tarnexio-host: connect failed: Page Timeout (0x04)\n"}))
      << r.output;
  EXPECT_EQ(r.output.find("HCI_Read_BD_ADDR"), std::string::npos);
}

// The README's two-bench commands, run as written (the ports made free ones) from a tree
// whose build and examples are this one's.
TEST_F(TwoBenches, TheReadmeCommandsRunAsWritten) {
  std::ifstream file(README_PATH);
  std::stringstream text;
  text << file.rdbuf();
  const std::string readme = text.str();
  const std::string marker = "<!-- two-bench commands: a test runs this block as written -->\n```sh\n";
  const size_t from = readme.find(marker);
  ASSERT_NE(from, std::string::npos);
  const size_t begin = from + marker.size();
  std::string block = readme.substr(begin, readme.find("```", begin) - begin);
  for (const char* port : {"2391", "2392"}) {
    const std::string free = std::to_string(FreePort());
    for (size_t at = block.find(port); at != std::string::npos; at = block.find(port, at)) block.replace(at, 4, free);
  }
  // Every wait of the block has a time limit.
  std::istringstream lines(block);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("until ") != std::string::npos) {
      EXPECT_EQ(line.rfind("timeout ", 0), 0u) << line;
    }
  }
  TempDir dir;
  ASSERT_EQ(symlink(BUILD_DIR, (dir.path + "/build").c_str()), 0);
  ASSERT_EQ(symlink(EXAMPLES_DIR "/../../examples", (dir.path + "/examples").c_str()), 0);
  // A session of its own, so that whatever the block leaves running goes with it. After
  // the block, the shell says how the btvirt it started ended: by the block's SIGTERM, or
  // by a crash of its own.
  const std::string after = "\nstatus=$?\nwait \"$btvirt\"\necho \"btvirt ended with status $?\"\nexit $status\n";
  Child run({FindProgram("setsid"), "bash", "-c", "cd '" + dir.path + "' || exit 1\n" + block + after}, {});
  const int exit = run.WaitExit(Millis(60000));
  kill(-run.pid(), SIGKILL);
  const size_t said = run.Output().rfind("btvirt ended with status ");
  ASSERT_NE(said, std::string::npos) << run.Output();
  const int btvirtStatus = std::atoi(run.Output().c_str() + said + 25);
  const std::string crash = BtvirtCrashFromShellStatus(btvirtStatus);
  if (!crash.empty()) ADD_FAILURE() << crash;
  // btvirt ends by itself on SIGTERM, with 0.
  EXPECT_TRUE(!crash.empty() || btvirtStatus == 0 || btvirtStatus == 128 + SIGTERM)
      << "btvirt, as $btvirt, ends on the block's SIGTERM\n" << run.Output();
  EXPECT_EQ(exit, 0) << run.Output();
  EXPECT_EQ(NamesIn(dir.path), (std::vector<std::string>{"build", "examples"})) << "the logs are outside the checkout";
  EXPECT_TRUE(ContainsInOrder(run.Output(),
                              {"inquiry: 1 device found: ", "send: 100 packets, 9650 bytes on handle ",
                               "recv: 100 packets, 9650 bytes on handle ", "Disconnection Complete: Success (0x00)",
                               "recv: 100 packets, 9650 bytes on handle ", "send: 100 packets, 9650 bytes on handle ",
                               "Disconnection Complete: Success (0x00)"}))
      << run.Output();
}
