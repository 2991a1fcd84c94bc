// The fuzz targets' in-memory file and their walk of a file service.
#pragma once

#include <cstring>

#include "archive/archive_open.h"
#include "fs/mount_table.h"
#include "tests/support/memory_file.h"

// Lists the folder `dir` (empty or ending in a backslash; a buffer of `cap`) of
// `fs`, or through the path entry points without one, opening and reading
// through every file; a damaged tree may hold cycles: 2000 entries at most.
inline void WalkAndRead(CFileService *fs, char *dir, size_t cap, u32 *entries) {
  FindRecord r = {};
  Error e = fs ? fs->FindFirst(&r, dir) : FsFindFirst(&r, dir);
  for (size_t base = strlen(dir), n; !e && ++*entries <= 2000; e = fs ? fs->FindNext(&r) : FsFindNext(&r)) {
    if (base + (n = strlen(r.name)) + 2 > cap) continue;
    memcpy(dir + base, r.name, n + 1);
    if (r.attributes & FATTR_DIRECTORY) {
      memcpy(dir + base + n, "\\", 2);
      WalkAndRead(fs, dir, cap, entries);
    } else if (CFile *f = fs ? fs->Open(dir, FOM_READ | FOM_SHAREREAD, &e) : FsOpen(dir, FOM_READ, nullptr)) {
      ReadThrough(f, nullptr);
      delete f;
    }
    e = nullptr;
    dir[base] = 0;
  }
  fs ? fs->FindClose(&r) : FsFindClose(&r);
}
