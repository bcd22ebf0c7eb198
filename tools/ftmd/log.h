// ftmd's console output: start, ready and end lines, errors, once-per-cause notes and,
// with -v, one line per request and completion.
#pragma once

#include <string>

namespace ftmd {

void setVerbose(bool on);
bool verbose();

void logLine(const std::string& text);     // always, to standard output, flushed
void logVerbose(const std::string& text);  // only with -v
void logError(const std::string& text);    // always, to standard error
// Prints `cause` to standard error the first time it is seen in this process; later
// occurrences are only counted. Returns true when it printed.
bool logOnce(const std::string& cause);

}  // namespace ftmd
