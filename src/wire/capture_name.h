// The names of capture files: the file a run writes in a capture directory, and the
// format a capture's name asks for.
#pragma once

#include <cstdint>
#include <string>

enum CaptureFormat {
  CAPTURE_BTSNOOP,  // ".btsnoop", and every name without one of the other endings
  CAPTURE_PCAP,     // ".pcap"
  CAPTURE_PCAPNG,   // ".pcapng"
};

// The format a capture file's name asks for, by its ending (letter case aside).
CaptureFormat CaptureFormatOfName(const std::string& name);

// "PREFIX-YYYYMMDD-HHMMSS-mmm-PID.btsnoop" for a run started at unixMillis (UTC): the
// names of one directory sort by start time. A non-zero attempt adds "-N" before the
// ending, for the rare run that finds its name taken.
std::string CaptureFileName(const std::string& prefix, int64_t unixMillis, unsigned long pid, unsigned attempt);

// Whether name is one that CaptureFileName gives for prefix (any time, process, attempt).
bool IsCaptureFileName(const std::string& prefix, const std::string& name);
