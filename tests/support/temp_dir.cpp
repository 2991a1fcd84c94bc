#include "support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <cstring>
#include <random>

namespace fsys = std::filesystem;

TempDir::TempDir() {
  static unsigned counter;
  std::random_device rd;
  fsys::path base = fsys::temp_directory_path();
  for (;;) {
    fsys::path p = base / ("vask-test-" + std::to_string(rd()) + "-" +
                           std::to_string(counter++));
    std::error_code ec;
    if (fsys::create_directory(p, ec)) {
      mPath = p.string() + static_cast<char>(fsys::path::preferred_separator);
      return;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only entries would stop the removal on Windows.
  for (auto it = fsys::recursive_directory_iterator(mPath, ec);
       !ec && it != fsys::recursive_directory_iterator(); it.increment(ec))
    fsys::permissions(it->path(), fsys::perms::owner_all,
                      fsys::perm_options::add, ec);
  fsys::remove_all(mPath, ec);
}

std::vector<unsigned char> ReadWholeFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

std::string ReadWholeText(const std::string &path) {
  std::vector<unsigned char> bytes = ReadWholeFile(path);
  return std::string(bytes.begin(), bytes.end());
}

void WriteWholeFile(const std::string &path,
                    const std::vector<unsigned char> &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void WriteWholeFile(const std::string &path, const std::string &text) {
  WriteWholeFile(path, std::vector<unsigned char>(text.begin(), text.end()));
}

bool PathExists(const std::string &path) {
  std::error_code ec;
  return fsys::exists(path, ec);
}

std::set<std::string> PathsOutside(const std::string &root, const std::string &inside) {
  std::set<std::string> out;
  std::error_code ec;
  for (auto it = fsys::recursive_directory_iterator(root, ec);
       !ec && it != fsys::recursive_directory_iterator(); it.increment(ec)) {
    std::string p = it->path().lexically_relative(root).generic_string();
    if (p != inside && p.rfind(inside + "/", 0) != 0) out.insert(p);
  }
  return out;
}

std::vector<unsigned char> PatternBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<unsigned char> v(n);
  for (auto &b : v) b = static_cast<unsigned char>(rng());
  return v;
}

std::vector<unsigned char> TextBytes(size_t n, unsigned seed) {
  static const char *const kWords[] = {"the ", "archive ", "block ", "of ", "file ", "and ",
                                       "data\n", "patch ", "0x1F, ", "game ", "version ", "{\n  "};
  std::mt19937 rng(seed);
  std::vector<unsigned char> v;
  while (v.size() < n) {
    const char *w = kWords[rng() % 12];
    v.insert(v.end(), w, w + strlen(w));
  }
  v.resize(n);
  return v;
}
