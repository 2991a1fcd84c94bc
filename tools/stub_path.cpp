#include "tools/stub_path.h"

#include <cstring>

#include "fs/mount_table.h"
#include "patcher/platform.h"

namespace {

struct StubTarget {
  const char *name;
  const char *installedDir;  // below the installation prefix, '/' between
  const char *file;
};

// The Windows stub is the same file whatever the host, so it is data
// (share/); the Linux one is a program of the host's architecture (lib/).
const StubTarget kTargets[] = {
    {"windows", VASK_WINDOWS_STUB_DIR, "VaskPatch.exe"},
    {"linux", VASK_LINUX_STUB_DIR, "vaskpatch"},
};

// `path` without its last component (and the separator before it).
std::string Parent(const std::string &path) {
  size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

// `relative` ('/' between components) below `dir`, with the separator that
// `dir` uses.
std::string Below(const std::string &dir, const std::string &relative) {
  char separator = dir.find('\\') != std::string::npos ? '\\' : '/';
  std::string path = dir + separator + relative;
  for (char &c : path)
    if (c == '/' || c == '\\') c = separator;
  return path;
}

}  // namespace

bool FindStub(const char *target, std::string *path, std::string *looked) {
  looked->clear();
  const StubTarget *t = nullptr;
  for (const StubTarget &candidate : kTargets)
    if (!strcmp(candidate.name, target)) t = &candidate;
  if (!t) return false;
  char self[1024];
  if (!PlatformGetExecutablePath(self, sizeof self)) {
    *looked = "(patchkit's own path is not known)";
    return false;
  }
  std::string bin = Parent(self);
  std::string prefix = Parent(bin);
  const std::string candidates[] = {
      Below(prefix, std::string(t->installedDir) + "/" + t->file),
      Below(prefix, std::string("patcher/") + t->file),
  };
  for (const std::string &c : candidates) {
    if (FsExists(c.c_str())) {
      *path = c;
      return true;
    }
    *looked += (looked->empty() ? "" : ", ") + c;
  }
  return false;
}
