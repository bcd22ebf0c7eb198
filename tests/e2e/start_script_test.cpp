// scripts/start.sh against the tree already built: its settings, one test host after
// another, a stop by each signal a terminal or a service manager sends, an error run.
#include "harness.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace e2e;

namespace {

const char kWaiting[] = "BTFTM : Waiting for incoming Ethernet connections... \n";

std::map<std::string, std::string> ScriptEnv(const TempDir& dir, int port) {
  return {{"TARNEXIO_BUILD_DIR", TARNEXIO_BUILD_DIR},
          {"TARNEXIO_PORT", std::to_string(port)},
          {"TARNEXIO_MODE", "raw"},
          {"TMPDIR", dir.path}};
}

// The script in a session of its own, as a terminal's foreground job: Ctrl+C is SIGINT
// to the whole group. A test that fails half way still stops it that way.
struct StartScript {
  StartScript(const std::map<std::string, std::string>& env, const std::vector<std::string>& args = {}) {
    std::vector<std::string> argv{"/usr/bin/setsid", "bash", START_SCRIPT};
    argv.insert(argv.end(), args.begin(), args.end());
    child = std::make_unique<Child>(argv, env);
  }
  ~StartScript() {
    if (child->Running()) {
      CtrlC();
      if (child->WaitExit(Millis(30000)) == -1) kill(-child->pid(), SIGKILL);
    }
  }
  void CtrlC() { kill(-child->pid(), SIGINT); }
  std::unique_ptr<Child> child;
};

// Waits for the launcher's exit, then for the end of its output: the lines of ftmd that its
// relay still had come after the launcher's exit is seen, and every count below is of the
// whole output. The exit code, or -1 when either wait gives up.
int ExitWithWholeOutput(Child& launcher, Millis timeout) {
  const int code = launcher.WaitExit(timeout);
  if (code == -1) return -1;
  return launcher.WaitForEnd(Millis(10000)) ? code : -1;
}

// One whole exchange: BD_ADDR asked for and answered.
void ServeOne(int port) {
  TestHost test(port);
  ASSERT_TRUE(test.connected());
  test.Send(Command(0x1009, {}));
  EXPECT_FALSE(ReceiveUntil(test, [](const Bytes& p) { return IsCommandComplete(p, 0x1009); }).empty());
}

TEST(StartScript, RefusesAWrongSettingInOneLineBeforeStartingAnything) {
  struct Case {
    const char* name;
    const char* value;
    const char* says;
  } cases[] = {
      {"TARNEXIO_PORT", "0", "TARNEXIO_PORT must be a TCP port number from 1 to 65535, not '0'"},
      {"TARNEXIO_PORT", "65536", "not '65536'"},
      {"TARNEXIO_PORT", "23x", "not '23x'"},
      {"TARNEXIO_PORT", "-1", "not '-1'"},
      {"TARNEXIO_MODE", "hci", "TARNEXIO_MODE must be raw or diag, not 'hci'"},
      {"TARNEXIO_MODE", "raw ", "not 'raw '"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    auto env = ScriptEnv(dir, FreePort());
    env[c.name] = c.value;
    Child script({"/bin/bash", START_SCRIPT, "--", "--type", "2"}, env);
    EXPECT_EQ(ExitWithWholeOutput(script, Millis(10000)), 2) << c.name << "=" << c.value;
    EXPECT_EQ(script.Output().rfind("start.sh: ", 0), 0u) << script.Output();
    EXPECT_NE(script.Output().find(c.says), std::string::npos) << script.Output();
    const std::string out = script.Output();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path)) << "nothing started: " << c.name;
  }
}

// The launcher's own options and ftmd's after --: anything else, or an option without its
// value, is refused in one line that says what to do, before anything starts.
TEST(StartScript, RefusesAWrongOptionInOneLineBeforeStartingAnything) {
  const struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"--type", "2"}, "start.sh: unknown option '--type'; ftmd's options go after --, as in: start.sh -- --type (see start.sh --help)"},
      {{"-v"}, "start.sh: unknown option '-v'; ftmd's options go after --, as in: start.sh -- -v (see start.sh --help)"},
      {{"-p", "2399", "extra"}, "start.sh: unexpected argument 'extra'; ftmd's options go after -- (see start.sh --help)"},
      {{"--port"}, "start.sh: --port takes a value (see start.sh --help)"},
      {{"-p", "0"}, "start.sh: -p must be a TCP port number from 1 to 65535, not '0'"},
      {{"--port", "2399x"}, "start.sh: --port must be a TCP port number from 1 to 65535, not '2399x'"},
      {{"-m", "hci"}, "start.sh: -m must be raw or diag, not 'hci'"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    auto env = ScriptEnv(dir, FreePort());
    std::vector<std::string> argv{"/bin/bash", START_SCRIPT};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Child script(argv, env);
    EXPECT_EQ(ExitWithWholeOutput(script, Millis(10000)), 2) << c.args[0];
    const std::string out = script.Output();
    EXPECT_EQ(out.rfind(c.says, 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path)) << "nothing started: " << c.args[0];
  }
}

// The value of NAME in the environment of the bridge this launcher (its TMPDIR) runs, or
// "(none)" when NAME is not set there, or "" when no such bridge runs.
std::string BridgeSetting(const std::string& tmpdir, const std::string& name) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream cmdline(entry.path() / "cmdline");
    std::string argv0;
    if (!std::getline(cmdline, argv0, '\0') || argv0 != std::string(TARNEXIO_BUILD_DIR) + "/bin/Tarnexio") continue;
    std::ifstream environ(entry.path() / "environ");
    std::map<std::string, std::string> vars;
    for (std::string item; std::getline(environ, item, '\0');) vars[item.substr(0, item.find('='))] = item.substr(item.find('=') + 1);
    if (vars["TMPDIR"] != tmpdir) continue;
    return vars.count(name) != 0 ? vars[name] : "(none)";
  }
  return "";
}

// Each option reaches the bridge as its setting, in place of the environment's; ftmd gets
// what follows --.
TEST(StartScript, PassesItsOptionsToTheBridgeAndWhatFollowsTheDashesToFtmd) {
  TempDir dir, captures;
  const int port = FreePort();
  auto env = ScriptEnv(dir, 1);  // a wrong port, which --port replaces
  env["TARNEXIO_ALLOW"] = "192.0.2.0/24";
  StartScript script(env, {"--port", std::to_string(port), "-m", "DIAG", "--listen", "127.0.0.1", "--allow", "127.0.0.0/8,::1/128",
                           "--idle-timeout", "30", "--capture-dir", captures.path, "--capture-keep", "5", "--metrics-dir",
                           captures.path, "--", "-v"});
  ASSERT_TRUE(script.child->WaitForCount(kWaiting, 1, Millis(20000))) << script.child->Output();
  EXPECT_EQ(script.child->Count("start.sh: serving test hosts on port " + std::to_string(port) + " (diag mode)"), 1);
  const std::map<std::string, std::string> settings = {
      {"TARNEXIO_LISTEN", "127.0.0.1"},     {"TARNEXIO_ALLOW", "127.0.0.0/8,::1/128"}, {"TARNEXIO_IDLE_TIMEOUT", "30"},
      {"TARNEXIO_CAPTURE", captures.path}, {"TARNEXIO_CAPTURE_KEEP", "5"},           {"TARNEXIO_METRICS_DIR", captures.path}};
  for (const auto& [name, value] : settings) EXPECT_EQ(BridgeSetting(dir.path, name), value) << name;
  {
    TestHost test(port);
    ASSERT_TRUE(test.connected());
  }
  // ftmd's -v: one line per request.
  EXPECT_TRUE(script.child->WaitForOutput(": IOCTL id ", Millis(20000))) << script.child->Output();
}

TEST(StartScript, AnswersHelpItself) {
  TempDir dir;
  Child script({"/bin/bash", START_SCRIPT, "--help"}, ScriptEnv(dir, FreePort()));
  EXPECT_EQ(ExitWithWholeOutput(script, Millis(10000)), 0);
  for (const char* item : {"Usage: start.sh", "TARNEXIO_PORT", "TARNEXIO_MODE", "TARNEXIO_BUILD_DIR",
                           "TARNEXIO_DEVICE_DIR", "TARNEXIO_CAPTURE", "TARNEXIO_BTSNOOP", "ftmd --help", "SIGTERM",
                           "--port", "--mode", "--listen", "--allow", "--idle-timeout", "--capture-dir",
                           "--capture-keep", "--metrics-dir", "-- FTMD-OPTION"})
    EXPECT_NE(script.Output().find(item), std::string::npos) << item;
  EXPECT_TRUE(std::filesystem::is_empty(dir.path));
}

// Each signal that stops the launcher (a terminal's Ctrl+C to the whole group, a service
// manager's SIGTERM or SIGHUP to the launcher alone) stops the bridge through its stop
// sequence while it serves a host, then ftmd, and leaves nothing behind.
TEST(StartScript, ServesHostAfterHostAndStopsCleanlyOnEachSignal) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    TempDir dir;
    const int port = FreePort();
    auto env = ScriptEnv(dir, port);
    env["TARNEXIO_MODE"] = "RAW";  // any case
    StartScript script(env, {"--", "-v"});
    ASSERT_TRUE(script.child->WaitForCount(kWaiting, 1, Millis(20000))) << script.child->Output();
    ServeOne(port);
    ASSERT_TRUE(script.child->WaitForCount(kWaiting, 2, Millis(20000))) << script.child->Output();
    {
      TestHost test(port);
      ASSERT_TRUE(test.connected());
      test.Send(Command(0x1009, {}));
      ASSERT_FALSE(ReceiveUntil(test, [](const Bytes& p) { return IsCommandComplete(p, 0x1009); }).empty());
      if (sig == SIGINT) {
        script.CtrlC();
      } else {
        kill(script.child->pid(), sig);
      }
      EXPECT_EQ(ExitWithWholeOutput(*script.child, Millis(30000)), 0) << script.child->Output();
    }
    Child& out = *script.child;
    EXPECT_EQ(out.Count("start.sh: serving test hosts on port " + std::to_string(port) + " (raw mode)"), 1);
    EXPECT_EQ(out.Count("starting the bridge again"), 1);
    // The stopped run's stop sequence and summary, then ftmd's last lines, shown as they came.
    EXPECT_TRUE(out.HasInOrder({"Signalling the main thread to exit..", "BTFTM : Run summary: commands 1, events 1",
                                "BTFTM : All resources are freed", "ftmd: stopped on SIGTERM"}))
        << out.Output();
    EXPECT_EQ(out.Count("BTFTM : Run summary"), 2);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path)) << out.Output();
  }
}

TEST(StartScript, ARunThatFailsEndsTheLauncherWithTheBridgesExitCode) {
  TempDir dir;
  // The port is taken: the bridge cannot listen, serves nobody and ends with 1.
  const int taken = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(taken, 1), 0);
  socklen_t length = sizeof address;
  getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
  auto env = ScriptEnv(dir, ntohs(address.sin_port));
  env["TARNEXIO_MODE"] = "diag";
  StartScript script(env);
  EXPECT_EQ(ExitWithWholeOutput(*script.child, Millis(30000)), 1) << script.child->Output();
  EXPECT_EQ(script.child->Count("start.sh: the bridge ended with exit code 1; stopping"), 1);
  EXPECT_EQ(script.child->Count("ftmd: stopped on SIGTERM"), 1);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path)) << script.child->Output();
  close(taken);
}

TEST(StartScript, AnFtmdThatCannotStartEndsTheLauncherWithItsCode) {
  TempDir dir;
  StartScript script(ScriptEnv(dir, FreePort()), {"--", "--no-such-option"});
  const int code = ExitWithWholeOutput(*script.child, Millis(30000));
  EXPECT_NE(code, 0);
  EXPECT_NE(code, -1);
  EXPECT_NE(script.child->Output().find("ftmd: "), std::string::npos) << script.child->Output();
  EXPECT_EQ(script.child->Count("BTFTM"), 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path)) << script.child->Output();
}

// A tree whose bin holds stand-ins for ftmd and the bridge: ftmd's says the given words
// and waits (its last line may lack its newline), or ends at once with the given code;
// on SIGTERM it says it stopped. The bridge's is never reached.
struct StandInTree {
  StandInTree(const std::string& says, int endsWith) {
    std::filesystem::create_directory(dir.path + "/bin");
    const std::string waits = endsWith < 0 ? "sleep 600 & child=$!\nwait $child\n" : "exit " + std::to_string(endsWith) + "\n";
    Write("ftmd", "#!/bin/sh\ntrap 'kill $child; echo \"ftmd: stopped on SIGTERM\"; exit 0' TERM\nprintf '" + says + "'\n" +
                      waits);
    Write("Tarnexio", "#!/bin/sh\nexit 1\n");
  }
  void Write(const std::string& name, const std::string& text) {
    const std::string path = dir.path + "/bin/" + name;
    std::ofstream(path) << text;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  }
  TempDir dir;
};

// Whatever ftmd printed before the launcher's relay began is shown too: ftmd's lines when
// the launcher is stopped while ftmd starts, and a last line without its newline.
TEST(StartScript, ShowsEveryLineOfFtmdThatEndsOrIsStoppedBeforeItServes) {
  const struct {
    const char* what;
    const char* says;
    int endsWith;  // -1: waits for a stop
    int signal;    // sent once ftmd's first line is there: to the launcher, or SIGINT to its group
    int exit;
    std::vector<std::string> lines;
  } cases[] = {
      {"a stop by SIGTERM", "ftmd: starting, a stand-in\\n", -1, SIGTERM, 0,
       {"ftmd: starting, a stand-in\n", "ftmd: stopped on SIGTERM\n"}},
      {"a stop by Ctrl+C", "ftmd: starting, a stand-in\\n", -1, SIGINT, 0,
       {"ftmd: starting, a stand-in\n", "ftmd: stopped on SIGTERM\n"}},
      {"a last line without its newline", "ftmd: starting, a stand-in\\nftmd: cannot open the device", 3, 0, 3,
       {"ftmd: starting, a stand-in\n", "ftmd: cannot open the device\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StandInTree tree(c.says, c.endsWith);
    TempDir dir;
    auto env = ScriptEnv(dir, FreePort());
    env["TARNEXIO_BUILD_DIR"] = tree.dir.path;
    StartScript script(env);
    if (c.signal != 0) {
      ASSERT_TRUE(script.child->WaitForOutput("ftmd: starting, a stand-in\n", Millis(20000))) << script.child->Output();
      if (c.signal == SIGINT) {
        script.CtrlC();
      } else {
        kill(script.child->pid(), c.signal);
      }
    }
    EXPECT_EQ(ExitWithWholeOutput(*script.child, Millis(30000)), c.exit) << script.child->Output();
    EXPECT_TRUE(script.child->HasInOrder(c.lines)) << script.child->Output();
    EXPECT_EQ(script.child->Count("BTFTM"), 0);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path)) << script.child->Output();
  }
}

}  // namespace

namespace {

// The bench units as this tree makes them (from packaging/systemd/*.service.in), instances
// of their templates, with the programs' directory set to this tree's bin: systemd-analyze
// checks each setting and that each command exists.
TEST(ServiceFiles, PassSystemdAnalyzeVerify) {
  const std::string analyze = FindProgram("systemd-analyze");
  if (analyze.empty()) GTEST_SKIP() << "systemd-analyze is not installed (package systemd)";
  TempDir dir;
  std::vector<std::string> argv{analyze, "verify", "--man=no"};
  for (const char* name : {"ftmd@", "tarnexio@"}) {
    std::ifstream in(std::string(TARNEXIO_BUILD_DIR) + "/systemd/" + name + ".service");
    ASSERT_TRUE(in) << name;
    std::stringstream text;
    text << in.rdbuf();
    std::string unit = text.str();
    const size_t command = unit.find("\nExecStart=/") + 11;
    ASSERT_NE(command, std::string::npos + 11) << unit;
    const size_t program = unit.find_last_of('/', unit.find(' ', command)) + 1;
    unit.replace(command, program - command, std::string(TARNEXIO_BUILD_DIR) + "/bin/");
    std::ofstream(dir.path + "/" + name + "check.service") << unit;
    argv.push_back(dir.path + "/" + name + "check.service");
  }
  Child verify(argv, {{"SYSTEMD_LOG_LEVEL", "notice"}});
  EXPECT_EQ(verify.WaitExit(Millis(30000)), 0) << verify.Output();
  EXPECT_EQ(verify.Output(), "") << "every line of verify is a fault it found";
}

}  // namespace
