// A whole patch executable as the patcher meets it: scanned for the
// appended container, its end found (before a signature's certificate
// table), mounted as DATA, its catalogue loaded, the proof the copy engine
// makes first, then its files walked and read through the path entry points
// as the copy engine walks them, without copying. The mount table is made
// and torn down per input.
#include <cstdlib>

#include "archive/lzss_file.h"
#include "archive/pack_fs.h"
#include "archive/patch_sums.h"
#include "config/hash_ini.h"
#include "core/ptr_pool.h"
#include "fs/file_window.h"
#include "tests/fuzz/fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size) {
  if (size > 8u << 20) return 0;
  CMemoryFile exe(data, size);
  u32 position = 0;
  if (!FindEmbeddedArchive(&exe, &position)) return 0;
  if (MountTableInit(8) != nullptr) abort();
  u32 length = EmbeddedArchiveLength(&exe, position);
  if (MountPack(new CLzssFile(new CFileWindow(&exe, position, length, 0), 1), "DATA") == nullptr) {
    CHashIni *ini = new CHashIni(20, 500, new CSizedPtrPool(), 1);
    char text[256];
    if (ini->LoadIniFile("DATA\\Patch.ini") == nullptr) ini->GetValue("str", "title", text, sizeof text);
    delete ini;
    CLzssFile second(new CFileWindow(&exe, position, 0xFFFFFFFFu, 0), 1);
    PatchProof proof;
    ProvePatchPack(static_cast<CPackFS *>(ResolveMount("DATA\\", nullptr)), &second, nullptr, nullptr,
                   &proof);
    char path[256] = "DATA\\Files\\";
    u32 entries = 0;
    WalkAndRead(nullptr, path, sizeof path, &entries);
  }
  MountTableShutdown();
  return 0;
}
