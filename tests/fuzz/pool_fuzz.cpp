// A pool file attached from any bytes, its file system walked twice (by the
// image walker and through the file-service listing) and every file read
// through.
#include "archive/pool_fs.h"
#include "archive/pool_image.h"
#include "tests/fuzz/fuzz_file.h"

namespace {

Error VisitEntry(void *context, const char *, u32, u32, CFile *file) {
  if (++*static_cast<u32 *>(context) > 2000) return ERR_OUTOFRANGE;
  if (file) ReadThrough(file, nullptr);
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size) {
  if (size > 4u << 20) return 0;
  Error e = nullptr;
  CHPFS *fs = OpenPoolFileSystem(new CMemoryFile(data, size), &e);
  if (!fs) return 0;
  u32 entries = 0, listed = 0;
  PoolWalk(fs, VisitEntry, &entries);
  char dir[1024] = "";
  WalkAndRead(fs, dir, sizeof dir, &listed);
  fs->Exists("LOCAL\\strings3.ini");
  delete fs->Open("LOCAL\\strings.ini", FOM_READ | FOM_SHAREREAD, &e);
  delete fs;
  return 0;
}
