// Test fixtures on real files: a private temporary folder removed at the end,
// whole-file helpers, and a host file opened without the file services.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "fs/host_file.h"

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  // The folder, with the platform's separator at the end.
  const std::string &path() const { return mPath; }
  // path() + name.
  std::string operator/(const std::string &name) const { return mPath + name; }

 private:
  std::string mPath;
};

std::vector<unsigned char> ReadWholeFile(const std::string &path);
std::string ReadWholeText(const std::string &path);
void WriteWholeFile(const std::string &path, const std::vector<unsigned char> &bytes);
void WriteWholeFile(const std::string &path, const std::string &text);
bool PathExists(const std::string &path);
// Every path below `root` ('/'-separated, relative to it) that is neither
// `inside` nor below it: what a run confined to `inside` must not change.
std::set<std::string> PathsOutside(const std::string &root, const std::string &inside);

// Opens a file straight through the host's own call. With `create` the file
// is created or emptied. Null when the host refuses.
CHostFile *OpenNativeFile(const std::string &path, bool write, bool create);

// Deterministic bytes for test data: noise, and text that compresses.
std::vector<unsigned char> PatternBytes(size_t n, unsigned seed);
std::vector<unsigned char> TextBytes(size_t n, unsigned seed);
