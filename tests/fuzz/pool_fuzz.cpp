// A pool file attached from any bytes, its file system walked twice (by the
// image walker and through the file-service listing) and every file read
// through.
#include <cstdlib>
#include <cstring>

#include "archive/archive_open.h"
#include "archive/pool_file.h"
#include "archive/pool_fs.h"
#include "archive/pool_image.h"
#include "tests/fuzz/fuzz_file.h"

namespace {

const u32 kMaxDepth = 8;        // a damaged tree may hold cycles
const u32 kMaxEntries = 2000;

Error VisitEntry(void *context, const char *path, u32 attributes, u32 size,
                 CFile *file) {
  u32 *entries = static_cast<u32 *>(context);
  if (++*entries > kMaxEntries) return ERR_OUTOFRANGE;
  if (file) ReadThrough(file, nullptr);
  return nullptr;
}

// Lists `dir` (ending in '\' or empty) through the service interface.
void List(CHPFS *fs, char *dir, u32 depth, u32 *entries) {
  if (depth > kMaxDepth) return;
  FindRecord record;
  memset(&record, 0, sizeof record);
  if (fs->FindFirst(&record, dir) == nullptr) {
    size_t base = strlen(dir);
    do {
      if (++*entries > kMaxEntries) break;
      size_t n = strlen(record.name);
      if (base + n + 2 > 1024) continue;
      memcpy(dir + base, record.name, n + 1);
      if (record.attributes & FATTR_DIRECTORY) {
        dir[base + n] = '\\';
        dir[base + n + 1] = 0;
        List(fs, dir, depth + 1, entries);
      } else {
        Error e = nullptr;
        CFile *f = fs->Open(dir, FOM_READ | FOM_SHAREREAD, &e);
        if (f) {
          ReadThrough(f, nullptr);
          delete f;
        }
      }
      dir[base] = 0;
    } while (fs->FindNext(&record) == nullptr);
  }
  fs->FindClose(&record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size) {
  if (size > 4u << 20) return 0;
  Error e = nullptr;
  CHPFS *fs = OpenPoolFileSystem(new CFuzzFile(data, size), &e);
  if (!fs) return 0;
  u32 entries = 0;
  PoolWalk(fs, VisitEntry, &entries);
  char dir[1024] = "";
  entries = 0;
  List(fs, dir, 0, &entries);
  fs->Exists("LOCAL\\strings3.ini");
  CFile *f = fs->Open("LOCAL\\strings.ini", FOM_READ | FOM_SHAREREAD, &e);
  delete f;
  delete fs;
  return 0;
}
