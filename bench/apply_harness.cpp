// The helper of the end-to-end benchmark (apply_bench.sh): lays out the
// folder trees a patch is built from, and times the decoding of a patch's
// appended container on its own, without writing anything.
//
//   apply_harness corpus-tree DIR        the ~32 MiB corpus as files
//   apply_harness synthetic-tree DIR MIB a mixed tree of MIB mebibytes
//   apply_harness decode PATCH           seconds to read the container through
//   apply_harness prove PATCH            seconds to prove its archive whole
//   apply_harness run FILE -- COMMAND... runs it; writes wall, user and system
//                                        seconds and peak resident KiB to FILE
//
// Every tree is the same on every run on the same machine.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/archive_open.h"
#include "archive/pack_fs.h"
#include "archive/patch_sums.h"
#include "core/ptr_pool.h"
#include "corpus.h"
#include "fs/file.h"
#include "fs/mount_table.h"

namespace {

// xorshift32: sizes, names and incompressible bytes.
struct Random {
  u32 state;
  explicit Random(u32 seed) : state(seed ? seed : 1) {}
  u32 Next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
  u32 Below(u32 n) { return Next() % n; }
};

bool MakeDirs(const std::string &path) {
  std::string part;
  for (size_t i = 0; i <= path.size(); i++) {
    if (i == path.size() || path[i] == '/') {
      if (!part.empty()) mkdir(part.c_str(), 0755);
    }
    if (i < path.size()) part += path[i];
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteFile(const std::string &path, const unsigned char *data, size_t n) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(data, 1, n, f) == n;
  return fclose(f) == 0 && ok;
}

// File sizes between 1 KiB and 1 MiB, spread evenly on a log scale, so
// that most files are small and most bytes sit in big ones.
size_t NextSize(Random &r) {
  u32 shift = 10 + r.Below(10);  // 1 KiB .. 1 MiB
  return (static_cast<size_t>(1) << shift) + r.Below(1u << shift);
}

// The path of file `i` of a tree: two folder levels below `dir`.
std::string FilePath(const std::string &dir, const char *kind, u32 i) {
  char name[96];
  snprintf(name, sizeof name, "/%s/D%02u/F%05u.BIN", kind, (i / 64) % 100, i);
  return dir + name;
}

int CorpusTree(const std::string &dir) {
  const Corpus &corpus = SharedCorpus();
  Random r(11);
  u32 files = 0;
  for (const CorpusPart &part : corpus.parts) {
    // Upper case, as the patcher names what it creates.
    std::string kind = part.name;
    for (char &c : kind) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    for (size_t at = part.begin; at < part.end;) {
      size_t n = NextSize(r);
      if (n > part.end - at) n = part.end - at;
      std::string path = FilePath(dir, kind.c_str(), files++);
      if (!MakeDirs(path.substr(0, path.rfind('/'))) ||
          !WriteFile(path, corpus.bytes.data() + at, n)) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
      }
      at += n;
    }
  }
  printf("%u files, %zu bytes\n", files, corpus.bytes.size());
  return 0;
}

// One file's bytes of a kind: 0 text-like words (compress well), 1 records
// of slowly changing numbers (compress very well), 2 random (do not
// compress at all).
void FillKind(std::vector<unsigned char> &out, size_t n, u32 kind, Random &r) {
  static const char *const kWords[] = {
      "salt", "road", "caravan", "peasant", "farm",  "tower", "gold",
      "the",  "of",   "and",     "map",     "river", "stone", "north",
      "wind", "trade", "guard",  "well",    "camp",  "oasis", "dune"};
  const u32 kWordCount = sizeof kWords / sizeof kWords[0];
  out.clear();
  out.reserve(n);
  u32 record = r.Next();
  while (out.size() < n) {
    if (kind == 0) {
      const char *w = kWords[r.Below(kWordCount)];
      out.insert(out.end(), w, w + strlen(w));
      out.push_back(r.Below(12) == 0 ? '\n' : ' ');
    } else if (kind == 1) {
      record += 1 + r.Below(3);
      unsigned char rec[16] = {};
      for (int k = 0; k < 4; k++) rec[k] = static_cast<unsigned char>(record >> (8 * k));
      rec[8] = static_cast<unsigned char>(r.Below(4));
      out.insert(out.end(), rec, rec + sizeof rec);
    } else {
      u32 v = r.Next();
      for (int k = 0; k < 4; k++) out.push_back(static_cast<unsigned char>(v >> (8 * k)));
    }
  }
  out.resize(n);
}

int SyntheticTree(const std::string &dir, u32 mebibytes) {
  Random r(mebibytes);
  const size_t total = static_cast<size_t>(mebibytes) << 20;
  static const char *const kKinds[] = {"TEXT", "RECORDS", "RANDOM"};
  std::vector<unsigned char> bytes;
  size_t done = 0;
  u32 files = 0;
  while (done < total) {
    size_t n = NextSize(r);
    if (n > total - done) n = total - done;
    u32 kind = files % 3;
    FillKind(bytes, n, kind, r);
    std::string path = FilePath(dir, kKinds[kind], files++);
    if (!MakeDirs(path.substr(0, path.rfind('/'))) ||
        !WriteFile(path, bytes.data(), n)) {
      fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
    done += n;
  }
  printf("%u files, %zu bytes\n", files, done);
  return 0;
}

// Reads the whole container of a patch executable front to back in 32 KiB
// pieces, as the copy engine's reads would, and prints the seconds taken.
int Decode(const char *patch) {
  MountTableInit(8);
  HostFsInit();
  auto start = std::chrono::steady_clock::now();
  Error e = nullptr;
  CFile *exe = FsOpen(patch, FOM_READ | FOM_SHAREREAD, &e);
  CFile *container = exe ? OpenContainer(exe, true, &e) : nullptr;
  if (!container) {
    fprintf(stderr, "%s: %s\n", patch, e ? e : "cannot open");
    return 1;
  }
  const u32 kChunk = 32768;
  u8 *buffer = static_cast<u8 *>(gPtrPool->Allocate(kChunk));
  u32 size = container->GetSize();
  u32 sum = 0;
  for (u32 at = 0; at < size && !e; at += kChunk) {
    u32 n = size - at < kChunk ? size - at : kChunk;
    e = container->Read(buffer, n, nullptr);
    sum += buffer[0];
  }
  gPtrPool->Free(buffer);
  delete container;
  double seconds = std::chrono::duration<double>(
                       std::chrono::steady_clock::now() - start).count();
  HostFsShutdown();
  MountTableShutdown();
  if (e) {
    fprintf(stderr, "%s: %s\n", patch, e);
    return 1;
  }
  printf("%.6f %u %u\n", seconds, size, sum & 1);
  return 0;
}

// The kernel's accounting of one command (and the processes it waited
// for), to the microsecond where /usr/bin/time prints hundredths.
int Run(const char *report, char **command) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    execvp(command[0], command);
    _exit(127);
  }
  int status = 0;
  struct rusage ru;
  if (wait4(pid, &status, 0, &ru) != pid) return 1;
  double wall = std::chrono::duration<double>(
                    std::chrono::steady_clock::now() - start).count();
  auto seconds = [](const timeval &t) { return t.tv_sec + t.tv_usec / 1e6; };
  FILE *f = fopen(report, "w");
  if (!f) return 1;
  fprintf(f, "%.6f %.6f %.6f %ld\n", wall, seconds(ru.ru_utime),
          seconds(ru.ru_stime), ru.ru_maxrss);
  fclose(f);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

int Usage() {
  fprintf(stderr,
          "usage: apply_harness corpus-tree DIR\n"
          "       apply_harness synthetic-tree DIR MIB\n"
          "       apply_harness decode PATCH\n"
          "       apply_harness prove PATCH\n"
          "       apply_harness run FILE -- COMMAND...\n");
  return 2;
}

}  // namespace

// Proves a patch executable's archive whole, as the patcher does before it
// copies, and prints the seconds taken.
int Prove(const char *patch) {
  MountTableInit(8);
  HostFsInit();
  auto start = std::chrono::steady_clock::now();
  Error e = nullptr;
  CFileService *archive = OpenArchivePath(patch, &e);
  void *pack = archive ? archive->Cast(CPackFS::sClassName) : nullptr;
  // A second reader of the container, as the patcher has.
  CFile *again = FsOpen(patch, FOM_READ | FOM_SHAREREAD, &e);
  CFile *second = again ? OpenContainer(again, true, &e) : nullptr;
  PatchProof proof;
  if (pack) e = ProvePatchPack(static_cast<CPackFS *>(pack), second, nullptr, nullptr, &proof);
  delete second;
  double seconds = std::chrono::duration<double>(
                       std::chrono::steady_clock::now() - start).count();
  delete archive;
  HostFsShutdown();
  MountTableShutdown();
  if (!pack || e) {
    fprintf(stderr, "%s: %s\n", patch, e ? e : "not a pack");
    return 1;
  }
  printf("%.6f %u\n", seconds, proof.hasSums ? 1u : 0u);
  return 0;
}

int main(int argc, char **argv) {
  if (argc == 3 && !strcmp(argv[1], "corpus-tree")) return CorpusTree(argv[2]);
  if (argc == 4 && !strcmp(argv[1], "synthetic-tree")) {
    long mib = strtol(argv[3], nullptr, 10);
    if (mib <= 0 || mib > 2048) return Usage();
    return SyntheticTree(argv[2], static_cast<u32>(mib));
  }
  if (argc == 3 && !strcmp(argv[1], "decode")) return Decode(argv[2]);
  if (argc == 3 && !strcmp(argv[1], "prove")) return Prove(argv[2]);
  if (argc >= 5 && !strcmp(argv[1], "run") && !strcmp(argv[3], "--"))
    return Run(argv[2], argv + 4);
  return Usage();
}
