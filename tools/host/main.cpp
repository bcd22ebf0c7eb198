// tarnexio-host: checks a bridge end to end and runs the common RF test commands over
// one connection, for benches, scripts and CI.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <cstring>

#include "run.h"
#include "text.h"
#include "wire/version.h"

int main(int argc, char** argv) {
  using namespace host;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
    std::fputs(kUsage, stdout);
    return EXIT_OK;
  }
  if (args.size() == 1 && args[0] == "--version") {
    PrintLine(std::string("tarnexio-host ") + TarnexioVersion());
    return EXIT_OK;
  }
  Options options;
  std::string error;
  bool ok = ParseCommandLine(args, &options, &error);
  if (ok && !options.scriptPath.empty()) {
    std::string text;
    if (!ReadScript(options.scriptPath, &text, &error)) {
      ok = false;
    } else {
      ok = ParseSteps(ScriptWords(text), options.mode, &options.steps, &error);
      if (ok && options.steps.empty()) {
        ok = false;
        error = "script " + Printable(options.scriptPath) + " holds no steps";
      }
    }
  }
  // Every step is checked before the bridge is reached: a run of the bridge serves one
  // test host, and a mistake found after connecting would spend it.
  ok = ok && CheckStepOrder(options.steps, &error);
  if (!ok) {
    PrintLine("tarnexio-host: " + error + "; 'tarnexio-host --help' lists the options and steps", true);
    return EXIT_USAGE;
  }
  return RunSteps(options);
}
