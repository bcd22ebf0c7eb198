// The service's timing rules, as plain functions: how long it waits before starting a bridge
// that failed again, and which daily log files have outlived the days they are kept.
#pragma once

#include <string>
#include <vector>

// Seconds before the next start after failuresInARow (1 or more) failed runs in a row:
// 1, 2, 4, ... doubling up to kMaxRetryDelaySeconds, then that. A run that served a test
// host ends the series.
constexpr int kMaxRetryDelaySeconds = 60;
int RetryDelaySeconds(int failuresInARow);

struct CivilDate {
  int year;
  int month;  // 1 to 12
  int day;    // 1 to 31
};

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
long DaysFromCivil(CivilDate date);

// The log file of a day: "tarnexio-YYYY-MM-DD.log".
std::string LogFileName(CivilDate date);

// The day of a log file's name; false for any other name (other files are never removed).
bool ParseLogFileName(const std::string& name, CivilDate* date);

// The log files among names that are older than keepDays days, today being the first:
// with keepDays 1 only today's file stays. Files of later days (a clock set back) stay.
std::vector<std::string> ExpiredLogFiles(const std::vector<std::string>& names, CivilDate today, int keepDays);
