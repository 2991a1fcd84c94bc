// A whole patch executable as the patcher meets it: scanned for the
// appended container, its end found (before a signature's certificate
// table), mounted as DATA, its catalogue loaded and its files
// walked and read through the path entry points, as the copy engine walks
// them, without copying, after the proof the copy engine makes first. The
// mount table is made and torn down per input.
#include <cstdlib>
#include <cstring>

#include "archive/archive_open.h"
#include "archive/lzss_file.h"
#include "archive/pack_fs.h"
#include "archive/patch_sums.h"
#include "config/hash_ini.h"
#include "core/ptr_pool.h"
#include "fs/file_window.h"
#include "fs/mount_table.h"
#include "tests/fuzz/fuzz_file.h"

namespace {

// Walks a directory of the mount (its path ending in '\'), 256-byte paths
// as the copy engine keeps them.
void Walk(char *path, u32 *files) {
  FindRecord record;
  memset(&record, 0, sizeof record);
  if (FsFindFirst(&record, path) == nullptr) {
    size_t base = strlen(path);
    do {
      size_t n = strlen(record.name);
      if (base + n + 2 > 256) continue;
      memcpy(path + base, record.name, n + 1);
      if (record.attributes & FATTR_DIRECTORY) {
        path[base + n] = '\\';
        path[base + n + 1] = 0;
        Walk(path, files);
      } else if (++*files <= 1000) {
        CFile *f = FsOpen(path, FOM_READ, nullptr);
        if (f) {
          ReadThrough(f, nullptr);
          delete f;
        }
      }
      path[base] = 0;
    } while (FsFindNext(&record) == nullptr);
  }
  FsFindClose(&record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size) {
  if (size > 8u << 20) return 0;
  CFuzzFile exe(data, size);
  u32 position = 0;
  if (!FindEmbeddedArchive(&exe, &position)) return 0;
  if (MountTableInit(8) != nullptr) abort();
  CLzssFile *archive = new CLzssFile(
      new CFileWindow(&exe, position, EmbeddedArchiveLength(&exe, position), 0),
      1);
  if (MountPack(archive, "DATA") == nullptr) {
    CHashIni *ini = new CHashIni(20, 500, new CSizedPtrPool(), 1);
    if (ini->LoadIniFile("DATA\\Patch.ini") == nullptr) {
      char text[256];
      ini->GetValue("str", "title", text, sizeof text);
      ini->GetValue("str", "minver", text, sizeof text);
    }
    delete ini;
    const char *rest = nullptr;
    CPackFS *pack = static_cast<CPackFS *>(ResolveMount("DATA\\", &rest));
    CLzssFile second(new CFileWindow(&exe, position, 0xFFFFFFFFu, 0), 1);
    PatchProof proof;
    ProvePatchPack(pack, &second, nullptr, nullptr, &proof);
    char path[256] = "DATA\\Files\\";
    u32 files = 0;
    Walk(path, &files);
  }
  MountTableShutdown();
  return 0;
}
