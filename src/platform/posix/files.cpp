// The environment and plain files: names and values are UTF-8 on these systems.
#include "platform/platform.h"

#include "platform/posix/file_replace.h"
#include "platform/posix/utf8.h"

#include <cstdlib>

namespace {

std::string Utf8Of(const wchar_t* text) {
  std::string out;
  for (; *text != 0; ++text) tarnexio_posix::AppendUtf8(out, uint32_t(*text));
  return out;
}

}  // namespace

std::string ProgramNameForHelp(const char* argv0) {
  const std::string path = argv0 != nullptr ? argv0 : "";
  const std::string name = path.substr(path.find_last_of('/') + 1);
  return name.empty() ? "Tarnexio" : name;
}

bool ReadEnvironmentVariable(const wchar_t* name, std::wstring* value) {
  const char* found = std::getenv(Utf8Of(name).c_str());
  if (found == nullptr || *found == 0) return false;
  *value = tarnexio_posix::DecodeUtf8(found);
  return true;
}

std::FILE* CreateFileForWriting(const wchar_t* path) { return std::fopen(Utf8Of(path).c_str(), "wb"); }

int ReplaceFileInDirectory(const wchar_t* dir, const wchar_t* name, const std::string& content) {
  return tarnexio_posix::ReplaceFileIn(Utf8Of(dir), Utf8Of(name), content);
}

int ReadFileInDirectory(const wchar_t* dir, const wchar_t* name, size_t limit, std::string* content) {
  return tarnexio_posix::ReadFileIn(Utf8Of(dir), Utf8Of(name), limit, content);
}
