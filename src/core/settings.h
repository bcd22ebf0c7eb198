// The bridge's settings from the environment beside the command line.
#pragma once

// The environment variable name as a whole number from 1 to max: true with *value. Unset,
// false. A value that is no such number is said in one line (what names its unit:
// "seconds") and ignored: false.
bool ReadNumberSetting(const wchar_t* name, unsigned long max, const wchar_t* what, unsigned long* value);
