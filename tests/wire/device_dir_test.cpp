#include "wire/device_dir.h"

#include <gtest/gtest.h>

TEST(DeviceDir, WhereTheSocketsLive) {
  struct Case {
    const char* override;
    const char* runtime;
    unsigned long uid;
    const char* dir;
  } cases[] = {
      {"/srv/dev", "/run/user/1000", 1000, "/srv/dev"},  // an override wins over everything
      {"/srv/dev", "", 0, "/srv/dev"},
      {"", "/run/user/1000", 1000, "/run/user/1000/tarnexio"},
      {"", "/run/user/0", 0, "/run/user/0/tarnexio"},  // root with a session of its own
      {"", "", 0, "/run/tarnexio"},
      {"", "", 1000, "/tmp/tarnexio-1000"},
      {"", "", 65534, "/tmp/tarnexio-65534"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DeviceDirectory(c.override, c.runtime, c.uid), c.dir) << c.override << "|" << c.runtime << "|" << c.uid;
  }
}

TEST(DeviceDir, WhichDirectoriesAreTrusted) {
  constexpr unsigned long kDir = 0040000, kLink = 0120000, kFile = 0100000;
  struct Case {
    unsigned long mode, owner, uid;
    const char* problem;
  } cases[] = {
      {kDir | 0700, 1000, 1000, ""},
      {kDir | 0755, 1000, 1000, ""},  // others may look, not write
      {kDir | 0750, 0, 1000, ""},     // root's, opened to a group
      {kDir | 0700, 0, 0, ""},
      {kLink | 0777, 1000, 1000, "is a symbolic link"},
      {kLink | 0777, 0, 0, "is a symbolic link"},
      {kFile | 0600, 1000, 1000, "is not a directory"},
      {kDir | 0700, 1001, 1000, "belongs to uid 1001, neither this user nor root"},
      {kDir | 0700, 1000, 0, "belongs to uid 1000, neither this user nor root"},  // root trusts no user's
      {kDir | 0770, 1000, 1000, "is writable by group or others (mode 0770)"},
      {kDir | 0702, 1000, 1000, "is writable by group or others (mode 0702)"},
      {kDir | 01777, 0, 1000, "is writable by group or others (mode 1777)"},  // like /tmp itself
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DeviceDirectoryProblem(c.mode, c.owner, c.uid), c.problem)
        << std::oct << c.mode << std::dec << " of " << c.owner << " as " << c.uid;
  }
}

TEST(DeviceDir, WhichDirectoriesOnThePathAreTrusted) {
  constexpr unsigned long kDir = 0040000, kLink = 0120000;
  struct Case {
    unsigned long mode, owner, uid;
    const char* problem;
  } cases[] = {
      {kDir | 01777, 0, 1000, ""},  // /tmp: the sticky bit keeps others from renaming what is ours
      {kDir | 0755, 0, 1000, ""},
      {kDir | 0700, 1000, 1000, ""},
      {kDir | 01777, 1001, 1000, "belongs to uid 1001, neither this user nor root"},
      {kDir | 0777, 0, 1000, "is writable by group or others (mode 0777)"},
      {kDir | 0775, 1000, 1000, "is writable by group or others (mode 0775)"},
      {kLink | 0777, 0, 0, "is a symbolic link"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DeviceDirectoryParentProblem(c.mode, c.owner, c.uid), c.problem)
        << std::oct << c.mode << std::dec << " of " << c.owner << " as " << c.uid;
  }
}
