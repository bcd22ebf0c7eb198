// tarnexio-host's words to steps: what each step sends, and the words it refuses.
#include <gtest/gtest.h>

#include "requests.h"
#include "run.h"
#include "steps.h"

using namespace host;

namespace {

struct CommandCase {
  std::vector<std::string> words;
  Mode mode;
  Bytes sent;  // the bytes of the first step on the wire
};

TEST(HostSteps, EachCommandStepSendsTheOldestCommandThatCarriesItsArguments) {
  const CommandCase cases[] = {
      {{"reset"}, Mode::RAW, {0x01, 0x03, 0x0c, 0x00}},
      {{"bdaddr"}, Mode::RAW, {0x01, 0x09, 0x10, 0x00}},
      {{"version"}, Mode::RAW, {0x01, 0x01, 0x10, 0x00}},
      {{"name"}, Mode::RAW, {0x01, 0x14, 0x0c, 0x00}},
      {{"dut"}, Mode::RAW, {0x01, 0x03, 0x18, 0x00}},
      {{"le-tx", "39", "255", "7"}, Mode::RAW, {0x01, 0x1e, 0x20, 0x03, 39, 255, 7}},
      {{"le-tx", "0x01", "37", "0", "2"}, Mode::RAW, {0x01, 0x34, 0x20, 0x04, 1, 37, 0, 2}},
      {{"le-rx", "5"}, Mode::RAW, {0x01, 0x1d, 0x20, 0x01, 5}},
      {{"le-rx", "5", "3"}, Mode::RAW, {0x01, 0x33, 0x20, 0x03, 5, 3, 0}},
      {{"le-end"}, Mode::RAW, {0x01, 0x1f, 0x20, 0x00}},
      {{"cmd", "0x0c1a", "03"}, Mode::RAW, {0x01, 0x1a, 0x0c, 0x01, 0x03}},
      {{"cmd", "3:3"}, Mode::RAW, {0x01, 0x03, 0x0c, 0x00}},
      {{"cmd", "63:1", "01:02-7e", "reset"}, Mode::RAW, {0x01, 0x01, 0xfc, 0x03, 0x01, 0x02, 0x7e}},
      // Diag: the FTM HCI request, escaped, with the FCS the bridge's own tests know.
      {{"reset"}, Mode::DIAG, {0x4b, 0x0b, 0x04, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01, 0x03, 0x0c, 0x00,
                               0x10, 0xec, 0x7e}},
      {{"cmd", "0x0c1a", "7e"}, Mode::DIAG, {0x4b, 0x0b, 0x04, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x01,
                                              0x1a, 0x0c, 0x01, 0x7d, 0x5e}},
      {{"diag-esn"}, Mode::DIAG, {0x01, 0xf1, 0xe1, 0x7e}},
  };
  for (const CommandCase& c : cases) {
    std::vector<Step> steps;
    std::string error;
    ASSERT_TRUE(ParseSteps(c.words, c.mode, &steps, &error)) << c.words[0] << ": " << error;
    const Step& s = steps[0];
    const Bytes sent = s.kind == StepKind::DIAG_REQUEST ? DiagCodeRequest(s.diagCode)
                                                       : CommandRequest(c.mode, s.opcode, s.params);
    // Only the head of an escaped diag request is listed where its FCS is not the point.
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + (long)std::min(sent.size(), c.sent.size())), c.sent)
        << c.words[0];
  }
}

TEST(HostSteps, BadWordsAreUsageErrorsNamingTheProblem) {
  const struct {
    std::vector<std::string> words;
    Mode mode;
    const char* error;
  } cases[] = {
      {{"frobnicate"}, Mode::RAW, "unknown step 'frobnicate'"},
      {{"le-tx", "40", "37", "0"}, Mode::RAW, "le-tx needs"},
      {{"le-tx", "1", "37"}, Mode::RAW, "le-tx needs"},
      {{"le-tx", "1", "37", "0", "0"}, Mode::RAW, "le-tx needs"},
      {{"le-rx", "1", "4"}, Mode::RAW, "unknown step '4' after 'le-rx 1'"},
      {{"reset", "le-tx", "1", "37", "0", "9"}, Mode::RAW, "unknown step '9' after 'le-tx 1 37 0'"},
      {{"cmd"}, Mode::RAW, "cmd needs OPCODE"},
      {{"cmd", "64:1"}, Mode::RAW, "cmd needs OPCODE"},
      {{"cmd", "0x12345"}, Mode::RAW, "cmd needs OPCODE"},
      {{"cmd", "3:3", std::string(2 * 252, '0')}, Mode::DIAG, "longer than 251 bytes"},
      {{"cmd", "3:3", "0a0"}, Mode::RAW, "cmd needs parameter bytes of two hex digits each, not '0a0'"},
      {{"connect", "12:34:56:78:9A"}, Mode::RAW, "connect needs BD_ADDR"},
      {{"connect", "12-34-56-78-9A-BC"}, Mode::RAW, "connect needs BD_ADDR"},
      {{"disconnect", "0xf00"}, Mode::RAW, "disconnect needs HANDLE"},
      {{"send", "$handle", "10"}, Mode::RAW, "send needs HANDLE"},
      {{"send", "1", "10", "0"}, Mode::RAW, "send needs HANDLE"},
      {{"send", "1", "10", "5-2"}, Mode::RAW, "send needs HANDLE"},
      {{"send", "1", "10", "1-1022"}, Mode::RAW, "(sizes 1-1021)"},
      {{"send", "1", "10", "data", "0a0"}, Mode::RAW, "send needs data bytes of two hex digits each, not '0a0'"},
      {{"send", "1", "10", "8"}, Mode::DIAG, "send needs --mode raw: a diag bridge carries only HCI commands"},
      {{"recv", "1", "0"}, Mode::RAW, "recv needs HANDLE"},
      {{"recv", "1", "2", "2000"}, Mode::RAW, "recv needs HANDLE"},
      {{"await", "connection-done"}, Mode::RAW, "await needs EVENT: inquiry-complete, inquiry-result,"},
      {{"await", "0x100"}, Mode::RAW, "await needs EVENT"},
      {{"await", "5", "0"}, Mode::RAW, "await needs SECONDS above 0"},
      {{"inquiry", "62"}, Mode::RAW, "inquiry needs SECONDS"},
      {{"inquiry", "60.5"}, Mode::RAW, "inquiry needs SECONDS (above 0, up to 60) [DEVICES (1-255)]"},
      {{"inquiry", "5", "0"}, Mode::RAW, "inquiry needs SECONDS"},
      {{"inquiry", "5", "256"}, Mode::RAW, "inquiry needs SECONDS"},
      {{"inquiry", "5", "1x"}, Mode::RAW, "inquiry needs SECONDS"},
      {{"wait"}, Mode::RAW, "wait needs SECONDS"},
      {{"wait", "-1"}, Mode::RAW, "wait needs SECONDS"},
      {{"ping", "0"}, Mode::RAW, "ping needs N"},
      {{"diag-esn"}, Mode::RAW, "diag-esn needs --mode diag"},
  };
  for (const auto& c : cases) {
    std::vector<Step> steps;
    std::string error;
    EXPECT_FALSE(ParseSteps(c.words, c.mode, &steps, &error)) << c.words[0];
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
}

// The steps of links and data: what each takes from its words.
TEST(HostSteps, LinkAndDataStepsTakeTheirArguments) {
  std::vector<Step> steps;
  std::string error;
  ASSERT_TRUE(ParseSteps({"scan", "inquiry", "2.5", "inquiry", "60", "255", "connect", "12:34:56:78:9a:bc", "connect", "$found", "accept",
                          "send", "$handle", "100", "1-192", "send", "0x0eff", "2", "data", "01", "02:03",
                          "recv", "7", "3", "recv", "$handle", "4", "10", "disconnect", "0x2a",
                          "await", "le-connection-complete", "await", "0x13", "0.5", "cmd", "0x0c01", "ff", "ff", "ff", "reset"},
                         Mode::RAW, &steps, &error))
      << error;
  ASSERT_EQ(steps.size(), 15u);
  EXPECT_EQ(steps[0].opcode, 0x0c1a);
  EXPECT_EQ(steps[0].params, Bytes{0x03});
  EXPECT_EQ(steps[1].waitMs, 2500u);
  EXPECT_EQ(steps[1].count, 0) << "no device count: the whole time";
  EXPECT_EQ(steps[2].waitMs, 60000u);
  EXPECT_EQ(steps[2].count, 255);
  steps.erase(steps.begin() + 2);
  EXPECT_EQ(steps[2].params, (Bytes{0xbc, 0x9a, 0x78, 0x56, 0x34, 0x12}));
  EXPECT_TRUE(steps[3].params.empty());
  EXPECT_EQ(steps[4].kind, StepKind::ACCEPT);
  EXPECT_TRUE(steps[5].handle.fromRun);
  EXPECT_EQ(steps[5].count, 100);
  EXPECT_EQ(steps[5].sizeMin, 1);
  EXPECT_EQ(steps[5].sizeMax, 192);
  EXPECT_EQ(steps[6].handle.value, 0x0eff);
  EXPECT_TRUE(steps[6].givenData);
  EXPECT_EQ(steps[6].params, (Bytes{1, 2, 3}));
  EXPECT_TRUE(steps[7].anySize);
  EXPECT_EQ(steps[7].handle.value, 7);
  EXPECT_FALSE(steps[8].anySize);
  EXPECT_EQ(steps[8].sizeMax, 10);
  EXPECT_EQ(steps[9].handle.value, 0x2a);
  EXPECT_EQ(steps[10].eventCode, 0x3e);
  EXPECT_EQ(steps[10].subevent, 0x01);
  EXPECT_EQ(steps[11].eventCode, 0x13);
  EXPECT_EQ(steps[11].waitMs, 500u);
  EXPECT_EQ(steps[12].params, (Bytes{0xff, 0xff, 0xff}));
  EXPECT_EQ(steps[13].opcode, 0x0c03);  // the hex words end where a step begins
  EXPECT_EQ(AclRequest(0x2a, {0x7e, 0x01}), (Bytes{0x02, 0x2a, 0x20, 0x02, 0x00, 0x7e, 0x01}));
  EXPECT_EQ(AclPattern(255, 3), (Bytes{0xff, 0x00, 0x01}));
}

TEST(HostSteps, CommandLineTakesOptionsThenHostPortThenStepsOrAScript) {
  Options o;
  std::string error;
  ASSERT_TRUE(ParseCommandLine({"--mode", "diag", "--json", "--timeout", "0.25", "[::1]:2390", "wait", "1.5"}, &o,
                               &error));
  EXPECT_EQ(o.mode, Mode::DIAG);
  EXPECT_TRUE(o.json);
  EXPECT_EQ(o.timeoutMs, 250u);
  EXPECT_EQ(o.host, "::1");
  EXPECT_EQ(o.port, "2390");
  ASSERT_EQ(o.steps.size(), 1u);
  EXPECT_EQ(o.steps[0].waitMs, 1500u);

  Options s;
  ASSERT_TRUE(ParseCommandLine({"localhost:1", "--script", "f.txt"}, &s, &error));
  EXPECT_EQ(s.scriptPath, "f.txt");

  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {}, {"127.0.0.1:2390"}, {"127.0.0.1", "reset"}, {"127.0.0.1:0", "reset"}, {":2390", "reset"},
           {"--mode", "hdlc", "h:1", "reset"}, {"--timeout", "0", "h:1", "reset"}, {"--verbose", "h:1", "reset"},
           {"h:1", "--script"}, {"h:1", "--script", "f", "reset"}}) {
    Options b;
    EXPECT_FALSE(ParseCommandLine(bad, &b, &error)) << (bad.empty() ? "" : bad.back());
  }
}

TEST(HostSteps, ScriptWordsSkipCommentsAndLineBreaks) {
  EXPECT_EQ(ScriptWords("# bench check\nreset bdaddr  # address\n\tle-tx 1 37 0\r\nping 10"),
            (std::vector<std::string>{"reset", "bdaddr", "le-tx", "1", "37", "0", "ping", "10"}));
}

TEST(HostSteps, PingSummaryUsesNearestRankPercentiles) {
  std::vector<long long> micros;
  for (long long v = 200; v >= 1; --v) micros.push_back(v);
  const PingSummary s = SummarisePing(micros);
  EXPECT_EQ(s.min, 1);
  EXPECT_EQ(s.median, 100);
  EXPECT_EQ(s.p99, 198);
  EXPECT_EQ(s.max, 200);
  const PingSummary one = SummarisePing({42});
  EXPECT_EQ(one.median, 42);
  EXPECT_EQ(one.p99, 42);
}

// Steps that could only fail for want of an earlier step are refused before connecting.
TEST(HostSteps, AStepThatNeedsAnEarlierOneIsRefusedBeforeConnecting) {
  const struct {
    std::vector<std::string> words;
    const char* why;  // "" when the order is sound
  } cases[] = {
      {{"disconnect", "$handle"}, "step 1 (disconnect) uses $handle, but no connect or await comes before it to take one"},
      {{"reset", "send", "$handle", "1", "10"}, "step 2 (send) uses $handle, but no connect or await comes before it to take one"},
      {{"recv", "$handle", "1"}, "step 1 (recv) uses $handle, but no connect or await comes before it to take one"},
      {{"connect", "$found"}, "step 1 (connect) connects to $found, but no inquiry (an inquiry step, or cmd 0x0401) comes before it"},
      {{"scan", "connect", "$found"}, "step 2 (connect) connects to $found, but no inquiry (an inquiry step, or cmd 0x0401) comes before it"},
      {{"disconnect", "0x2a"}, ""},
      {{"connect", "00:AA:01:00:00:42", "send", "$handle", "1", "10", "disconnect", "$handle"}, ""},
      {{"accept", "await", "connection-complete", "recv", "$handle", "1"}, ""},
      {{"inquiry", "5", "connect", "$found"}, ""},
      {{"cmd", "0x0401", "338b9e0400", "wait", "3", "connect", "$found"}, ""},
      {{"cmd", "1:3", "0400030033", "8b9e0400", "await", "inquiry-result", "connect", "$found"}, ""},
  };
  for (const auto& c : cases) {
    std::vector<Step> steps;
    std::string error;
    ASSERT_TRUE(ParseSteps(c.words, Mode::RAW, &steps, &error)) << error;
    error.clear();
    EXPECT_EQ(CheckStepOrder(steps, &error), std::string(c.why).empty()) << c.words[0];
    EXPECT_EQ(error, c.why) << c.words[0];
  }
}

}  // namespace
