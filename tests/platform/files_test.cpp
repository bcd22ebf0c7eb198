// The environment and plain files of the posix backend: names and values as UTF-8.
#include "platform/platform.h"
#include "platform/posix/capture_target.h"
#include "platform/posix/utf8.h"

#include "child_process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

TEST(Utf8, DecodesWhatItEncodesAndReplacesEachBadByte) {
  struct Case {
    std::string bytes;
    std::wstring wide;
  };
  const Case cases[] = {
      {"plain/path.btsnoop", L"plain/path.btsnoop"},
      {"\xC3\xA9t\xC3\xA9", L"\u00E9t\u00E9"},
      {"\xE2\x82\xAC", L"\u20AC"},
      {"\xF0\x9F\x93\xA1", std::wstring(1, wchar_t(0x1F4E1))},
      {"\xC3", L"\uFFFD"},                          // cut short
      {"\x80x", L"\uFFFDx"},                        // a lone continuation byte
      {"\xC0\xAF", L"\uFFFD\uFFFD"},                // overlong
      {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},      // a surrogate
      {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xE2\x82x", L"\uFFFD\uFFFDx"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tarnexio_posix::DecodeUtf8(c.bytes), c.wide) << c.bytes;
    if (c.wide.find(L'\uFFFD') != std::wstring::npos) continue;
    std::string back;
    for (wchar_t w : c.wide) tarnexio_posix::AppendUtf8(back, uint32_t(w));
    EXPECT_EQ(back, c.bytes);
  }
}

TEST(Files, TheEnvironmentAndAFileByAWideName) {
  char dir[] = "/tmp/tarnexio-files-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/capt\xC3\xA9.btsnoop";
  setenv("TARNEXIO_FILES_TEST", path.c_str(), 1);
  std::wstring value;
  ASSERT_TRUE(ReadEnvironmentVariable(L"TARNEXIO_FILES_TEST", &value));
  EXPECT_EQ(value, tarnexio_posix::DecodeUtf8(path));
  std::FILE* file = CreateFileForWriting(value.c_str());
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  EXPECT_EQ(access(path.c_str(), F_OK), 0);
  unlink(path.c_str());
  rmdir(dir);

  setenv("TARNEXIO_FILES_TEST", "", 1);
  EXPECT_FALSE(ReadEnvironmentVariable(L"TARNEXIO_FILES_TEST", &value));
  unsetenv("TARNEXIO_FILES_TEST");
  EXPECT_FALSE(ReadEnvironmentVariable(L"TARNEXIO_FILES_TEST", &value));
  errno = 0;
  EXPECT_EQ(CreateFileForWriting(L"/nonexistent-tarnexio-dir/x"), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace

namespace {

TEST(CaptureTarget, AWriteThatFillsTheDiskPartWayIsUndoneToWhereTheFileEndedBefore) {
  tarnexio_test::SmallDisk disk(8192);
  if (!disk.why.empty()) GTEST_SKIP() << disk.why;
  const std::string name = disk.path + "/run.btsnoop";
  tarnexio_posix::CaptureTarget t = tarnexio_posix::OpenCaptureTarget(name, "tarnexio", 0, nullptr);
  ASSERT_EQ(t.kind, tarnexio_posix::CAPTURE_TARGET_FILE) << t.error;
  tarnexio_posix::CaptureFds fds{t.fd, t.pathFd, t.dirFd, t.nameInDir};
  const struct {
    size_t length;
    long result;
    off_t sizeAfter;
  } writes[] = {
      {3000, 3000, 3000}, {3000, 3000, 6000},
      {3000, -ENOSPC, 6000},  // 2192 bytes would fit: they are cut off again
      {2000, 2000, 8000},     // what fits still goes in after it
      {500, -ENOSPC, 8000},   {192, 192, 8192}, {1, -ENOSPC, 8192},
  };
  for (const auto& w : writes) {
    SCOPED_TRACE(w.length);
    const std::vector<uint8_t> record(w.length, 0x5A);
    EXPECT_EQ(tarnexio_posix::WriteCaptureFds(&fds, record.data(), record.size(), -1), w.result);
    struct stat st {};
    ASSERT_EQ(fstat(fds.fd, &st), 0);
    EXPECT_EQ(st.st_size, w.sizeAfter);
    EXPECT_EQ(lseek(fds.fd, 0, SEEK_CUR), w.sizeAfter) << "the next record follows the last whole one";
  }
  tarnexio_posix::CloseCaptureFds(&fds);
}

}  // namespace
