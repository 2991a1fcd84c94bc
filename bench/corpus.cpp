#include "corpus.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fsys = std::filesystem;

namespace {

const size_t kMaxPerFile = 1u << 20;

typedef bool (*Accept)(const fsys::path &path, const unsigned char *head,
                       size_t headLength);

bool IsElf(const fsys::path &, const unsigned char *head, size_t n) {
  return n >= 4 && !memcmp(head, "\x7f" "ELF", 4);
}

bool IsHeader(const fsys::path &path, const unsigned char *, size_t) {
  return path.extension() == ".h";
}

// Plain text: no NUL in the first bytes and not compressed.
bool IsPlainText(const fsys::path &path, const unsigned char *head, size_t n) {
  if (path.extension() == ".gz" || n == 0) return false;
  return memchr(head, 0, n) == nullptr;
}

bool IsGzip(const fsys::path &path, const unsigned char *head, size_t n) {
  return path.extension() == ".gz" && n >= 2 && head[0] == 0x1F &&
         head[1] == 0x8B;
}

std::vector<fsys::path> SortedFiles(const char *root) {
  std::vector<fsys::path> files;
  std::error_code ec;
  auto options = fsys::directory_options::skip_permission_denied;
  for (auto it = fsys::recursive_directory_iterator(root, options, ec);
       !ec && it != fsys::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code ec2;
    if (it->is_symlink(ec2)) continue;
    if (it->is_regular_file(ec2)) files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Appends up to `want` bytes of accepted files under the roots, in order.
void Fill(std::vector<unsigned char> &out, size_t want,
          std::initializer_list<const char *> roots, Accept accept) {
  size_t goal = out.size() + want;
  std::vector<unsigned char> chunk;
  for (const char *root : roots) {
    for (const fsys::path &p : SortedFiles(root)) {
      if (out.size() >= goal) return;
      std::ifstream in(p, std::ios::binary);
      if (!in) continue;
      chunk.resize(std::min(kMaxPerFile, goal - out.size()));
      in.read(reinterpret_cast<char *>(chunk.data()),
              static_cast<std::streamsize>(chunk.size()));
      size_t got = static_cast<size_t>(in.gcount());
      if (!accept(p, chunk.data(), std::min<size_t>(got, 512))) continue;
      out.insert(out.end(), chunk.begin(), chunk.begin() + got);
    }
  }
}

}  // namespace

Corpus BuildCorpus(size_t totalBytes) {
  Corpus c;
  size_t third = totalBytes / 3;
  size_t at = 0;
  Fill(c.bytes, third, {"/usr/bin", "/usr/lib"}, IsElf);
  c.parts.push_back({"code", at, c.bytes.size()});
  at = c.bytes.size();
  Fill(c.bytes, third / 2, {"/usr/include"}, IsHeader);
  Fill(c.bytes, third - (c.bytes.size() - at), {"/usr/share/doc"},
       IsPlainText);
  c.parts.push_back({"text", at, c.bytes.size()});
  at = c.bytes.size();
  Fill(c.bytes, totalBytes - at, {"/usr/share"}, IsGzip);
  c.parts.push_back({"compressed", at, c.bytes.size()});
  return c;
}

const Corpus &SharedCorpus() {
  static const Corpus corpus = BuildCorpus();
  return corpus;
}
