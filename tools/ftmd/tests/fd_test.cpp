// The descriptor type: each descriptor closed exactly once, by whoever holds it last.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "fd.h"

using ftmd::Fd;

namespace {
bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }
}  // namespace

TEST(Fd, ClosedOnceByItsLastHolder) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const int r = ends[0], w = ends[1];
  {
    Fd a(r);
    Fd b(std::move(a));
    EXPECT_FALSE(a.valid());
    Fd c;
    c = std::move(b);
    EXPECT_EQ(c.get(), r);
    EXPECT_TRUE(isOpen(r));
    Fd d(w);
    d.reset(c.release());  // closes w, takes r over
    EXPECT_FALSE(isOpen(w));
    EXPECT_FALSE(c.valid());
    EXPECT_EQ(d.get(), r);
  }
  EXPECT_FALSE(isOpen(r));
}
