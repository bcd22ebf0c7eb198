#include "wire/capture_name.h"

#include <cctype>
#include <cstdio>

namespace {

bool EndsWith(const std::string& name, const char* ending) {
  const std::string e(ending);
  if (name.size() < e.size()) return false;
  for (size_t i = 0; i < e.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(name[name.size() - e.size() + i])) != e[i]) return false;
  return true;
}

// Year, month and day of a day counted from 1970-01-01 (the civil calendar, proleptic).
void CivilDate(int64_t days, int* year, unsigned* month, unsigned* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned dayOfEra = unsigned(days - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned mp = (5 * dayOfYear + 2) / 153;
  *day = dayOfYear - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = int(yearOfEra + era * 400 + (*month <= 2 ? 1 : 0));
}

}  // namespace

CaptureFormat CaptureFormatOfName(const std::string& name) {
  if (EndsWith(name, ".pcapng")) return CAPTURE_PCAPNG;
  if (EndsWith(name, ".pcap")) return CAPTURE_PCAP;
  return CAPTURE_BTSNOOP;
}

bool IsCaptureFileName(const std::string& prefix, const std::string& name) {
  // After the prefix: "-" 8 digits "-" 6 digits "-" 3 digits "-" digits, maybe "-" digits,
  // then ".btsnoop". '9' stands for a digit, '+' for one or more.
  static const char kShape[] = "-99999999-999999-999-+";
  const std::string ending = ".btsnoop";
  if (name.size() < prefix.size() + ending.size() || name.compare(0, prefix.size(), prefix) != 0 ||
      name.compare(name.size() - ending.size(), ending.size(), ending) != 0)
    return false;
  const std::string middle = name.substr(prefix.size(), name.size() - prefix.size() - ending.size());
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  size_t i = 0;
  for (const char* s = kShape; *s != 0; ++s) {
    if (*s == '-') {
      if (i >= middle.size() || middle[i++] != '-') return false;
    } else if (*s == '9') {
      if (i >= middle.size() || !digit(middle[i++])) return false;
    } else {
      if (i >= middle.size() || !digit(middle[i])) return false;
      while (i < middle.size() && digit(middle[i])) ++i;
    }
  }
  if (i == middle.size()) return true;
  // The attempt.
  if (middle[i++] != '-' || i == middle.size()) return false;
  while (i < middle.size() && digit(middle[i])) ++i;
  return i == middle.size();
}

std::string CaptureFileName(const std::string& prefix, int64_t unixMillis, unsigned long pid, unsigned attempt) {
  if (unixMillis < 0) unixMillis = 0;
  const int64_t seconds = unixMillis / 1000;
  const int64_t secondOfDay = seconds % 86400;
  int year = 0;
  unsigned month = 0, day = 0;
  CivilDate(seconds / 86400, &year, &month, &day);
  char text[96];
  std::snprintf(text, sizeof text, "-%04d%02u%02u-%02u%02u%02u-%03u-%lu", year, month, day,
                unsigned(secondOfDay / 3600), unsigned(secondOfDay / 60 % 60), unsigned(secondOfDay % 60),
                unsigned(unixMillis % 1000), pid);
  std::string name = prefix + text;
  if (attempt != 0) name += "-" + std::to_string(attempt);
  return name + ".btsnoop";
}
