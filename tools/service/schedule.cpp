#include "schedule.h"

#include <cstdio>

int RetryDelaySeconds(int failuresInARow) {
  int delay = 1;
  for (int n = 1; n < failuresInARow && delay < kMaxRetryDelaySeconds; ++n) delay *= 2;
  return delay < kMaxRetryDelaySeconds ? delay : kMaxRetryDelaySeconds;
}

long DaysFromCivil(CivilDate date) {
  // Years start in March, so that the leap day is the last day of a year.
  long y = date.year - (date.month <= 2 ? 1 : 0);
  long era = (y >= 0 ? y : y - 399) / 400;
  long yearOfEra = y - era * 400;
  long dayOfYear = (153 * (date.month + (date.month > 2 ? -3 : 9)) + 2) / 5 + date.day - 1;
  long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

std::string LogFileName(CivilDate date) {
  char name[40];
  std::snprintf(name, sizeof name, "tarnexio-%04d-%02d-%02d.log", date.year, date.month, date.day);
  return name;
}

bool ParseLogFileName(const std::string& name, CivilDate* date) {
  const std::string prefix = "tarnexio-", suffix = ".log";
  // tarnexio-YYYY-MM-DD.log, digits where the digits go and nothing else.
  if (name.size() != prefix.size() + 10 + suffix.size()) return false;
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
  std::string day = name.substr(prefix.size(), 10);
  for (size_t i = 0; i < day.size(); ++i) {
    bool dash = i == 4 || i == 7;
    if (dash ? day[i] != '-' : (day[i] < '0' || day[i] > '9')) return false;
  }
  CivilDate d{std::stoi(day.substr(0, 4)), std::stoi(day.substr(5, 2)), std::stoi(day.substr(8, 2))};
  if (d.month < 1 || d.month > 12 || d.day < 1 || d.day > 31) return false;
  *date = d;
  return true;
}

std::vector<std::string> ExpiredLogFiles(const std::vector<std::string>& names, CivilDate today, int keepDays) {
  std::vector<std::string> expired;
  long todayNumber = DaysFromCivil(today);
  for (const std::string& name : names) {
    CivilDate date;
    if (!ParseLogFileName(name, &date)) continue;
    if (todayNumber - DaysFromCivil(date) >= keepDays) expired.push_back(name);
  }
  return expired;
}
