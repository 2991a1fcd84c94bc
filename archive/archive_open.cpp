#include "archive/archive_open.h"

#include <cstring>

#include "archive/lzss_file.h"
#include "archive/pack_fs.h"
#include "archive/pool_file.h"
#include "archive/pool_fs.h"
#include "core/endian.h"
#include "core/ptr_pool.h"
#include "core/text.h"
#include "fs/file_service.h"
#include "fs/file_window.h"
#include "fs/mount_table.h"

namespace {

const u32 kScanStep = 8192;
const u32 kScanOverlap = 18;
const u32 kArchiveBlockSize = 0x8000;

// The signature is kept masked, so that the program's own bytes never hold
// the pattern the scan looks for.
const u8 kMask = 0x5A;
const u8 kMaskedMagic[4] = {'L' ^ kMask, 'Z' ^ kMask, 'S' ^ kMask,
                            'S' ^ kMask};

bool IsHeaderAt(const u8 *p) {
  for (int k = 0; k < 4; k++)
    if ((p[k] ^ kMask) != kMaskedMagic[k]) return false;
  return p[8] == (kArchiveBlockSize & 0xFF) &&
         p[9] == ((kArchiveBlockSize >> 8) & 0xFF) && p[10] == 0 &&
         p[11] == 0;
}

// A signed patch executable: the PE image, the appended container, then the
// attribute certificate table that signing appends. The table is found from
// the DOS header's e_lfanew (offset 0x3C) to the "PE\0\0" signature, the
// 20-byte file header after it (its size of the optional header at +16), and
// the optional header, whose magic tells PE32 (data directory at +96) from
// PE32+ (at +112), each preceded by the count of its entries. Entry 4 is the
// security entry: the table's file offset and size, 32 bits each.
const u32 kDosLfanewOffset = 0x3C;
const u32 kFileHeaderSize = 20;
const u32 kOptionalHeaderSizeOffset = 16;  // within the file header
const u16 kPe32Magic = 0x10B;
const u16 kPe32PlusMagic = 0x20B;
const u32 kPe32Directory = 96;
const u32 kPe32PlusDirectory = 112;
const u32 kSecurityEntry = 4;
const u32 kDirectoryEntrySize = 8;

// `size` bytes at `offset`, only when they lie inside the file.
bool ReadInside(CFile *file, u32 fileSize, u64 offset, u8 *out, u32 size) {
  if (offset > fileSize || fileSize - offset < size) return false;
  u32 got = 0;
  return file->ReadAt(out, static_cast<u32>(offset), size, &got) == nullptr &&
         got == size;
}

bool StartsWithLzss(CFile *file) {
  u8 magic[4];
  Error e = file->ReadAt(magic, 0, 4, nullptr);
  file->Seek(0, SEEK_FROM_START);
  return e == nullptr && memcmp(magic, "LZSS", 4) == 0;
}

// Pool first, then pack; takes the file in every outcome.
CFileService *OpenPoolOrPack(CFile *file, Error *errorOut) {
  CBFHP *pool = new CBFHP(nullptr, 0);
  Error e = pool->AttachFile(file);
  if (e == nullptr) return new CHPFS(pool);
  delete pool;
  CPackFS *pack = new CPackFS();
  e = pack->OpenPack(file);
  if (e == nullptr) return pack;
  delete pack;
  *errorOut = e;
  return nullptr;
}

}  // namespace

u32 FindEmbeddedArchive(CFile *file, u32 *positionOut) {
  i32 size = static_cast<i32>(file->GetSize());
  i32 limit = (size & ~static_cast<i32>(kScanStep - 1)) -
              static_cast<i32>(kScanStep);
  if (limit <= 0) return 0;
  u8 *buffer =
      static_cast<u8 *>(gPtrPool->Allocate(kScanStep + kScanOverlap));
  if (!buffer) return 0;
  u32 found = 0;
  for (i32 offset = 0; offset < limit && !found;
       offset += static_cast<i32>(kScanStep)) {
    memset(buffer, 0, kScanStep + kScanOverlap);
    file->Seek(offset, SEEK_FROM_START);
    file->Read(buffer, kScanStep + kScanOverlap, nullptr);
    // Only a position holding the signature's first byte can start it; the
    // executable before the archive is mostly other bytes.
    const u8 first = kMaskedMagic[0] ^ kMask;
    const u8 *end = buffer + kScanStep;
    for (const u8 *p = buffer;
         (p = static_cast<const u8 *>(memchr(p, first, end - p))) != nullptr;
         p++) {
      if (IsHeaderAt(p)) {
        *positionOut = static_cast<u32>(offset + (p - buffer));
        found = 1;
        break;
      }
    }
  }
  gPtrPool->Free(buffer);
  return found;
}

u32 EmbeddedArchiveLength(CFile *file, u32 position) {
  const u32 kRest = 0xFFFFFFFFu;
  u32 size = file->GetSize();
  u32 at = file->Tell();
  u8 dos[kDosLfanewOffset + 4];
  u8 pe[4 + kFileHeaderSize + 2];
  u8 entry[kDirectoryEntrySize];
  u32 length = kRest;
  if (ReadInside(file, size, 0, dos, sizeof dos) && dos[0] == 'M' &&
      dos[1] == 'Z') {
    u32 header = GetU32LE(dos + kDosLfanewOffset);
    if (ReadInside(file, size, header, pe, sizeof pe) &&
        memcmp(pe, "PE\0\0", 4) == 0) {
      u32 optionalSize = GetU16LE(pe + 4 + kOptionalHeaderSizeOffset);
      u16 magic = GetU16LE(pe + 4 + kFileHeaderSize);
      u32 directory = magic == kPe32Magic       ? kPe32Directory
                      : magic == kPe32PlusMagic ? kPe32PlusDirectory
                                                : 0;
      u32 entryAt = directory + kSecurityEntry * kDirectoryEntrySize;
      u64 optional = static_cast<u64>(header) + 4 + kFileHeaderSize;
      u8 count[4];
      if (directory != 0 && optionalSize >= entryAt + kDirectoryEntrySize &&
          ReadInside(file, size, optional + directory - 4, count, 4) &&
          GetU32LE(count) > kSecurityEntry &&
          ReadInside(file, size, optional + entryAt, entry, sizeof entry)) {
        u32 table = GetU32LE(entry);
        u32 tableSize = GetU32LE(entry + 4);
        // Only a table after the container's start, and inside the file.
        if (tableSize != 0 && table > position && table <= size &&
            size - table >= tableSize)
          length = table - position;
      }
    }
  }
  file->Seek(static_cast<i32>(at), SEEK_FROM_START);
  return length;
}

CFileService *OpenArchive(CFile *file, bool allowEmbedded, Error *errorOut) {
  Error scratch = nullptr;
  if (!errorOut) errorOut = &scratch;
  *errorOut = nullptr;
  if (!file) {
    *errorOut = ERR_BADPARAMS;
    return nullptr;
  }
  if (StartsWithLzss(file)) {
    CLzssFile *lzss = new CLzssFile(file, 1);
    if (!lzss->valid) {
      delete lzss;
      *errorOut = ERR_INVALIDFORMAT;
      return nullptr;
    }
    return OpenPoolOrPack(lzss, errorOut);
  }
  if (!allowEmbedded) return OpenPoolOrPack(file, errorOut);

  u32 position = 0;
  if (FindEmbeddedArchive(file, &position)) {
    // The host file stays with the window, which the LZSS file owns.
    u32 length = EmbeddedArchiveLength(file, position);
    CLzssFile *lzss =
        new CLzssFile(new CFileWindow(file, position, length, 1), 1);
    if (!lzss->valid) {
      delete lzss;
      *errorOut = ERR_INVALIDFORMAT;
      return nullptr;
    }
    return OpenPoolOrPack(lzss, errorOut);
  }
  return OpenPoolOrPack(file, errorOut);
}

CFileService *OpenArchivePath(const char *path, Error *errorOut) {
  Error scratch = nullptr;
  if (!errorOut) errorOut = &scratch;
  *errorOut = nullptr;
  CFile *file = FsOpen(path, FOM_READ | FOM_SHAREREAD, errorOut);
  if (!file) {
    if (!*errorOut) *errorOut = FERR_OPENFAIL;
    return nullptr;
  }
  return OpenArchive(file, true, errorOut);
}

namespace {

struct Walk {
  CFileService *service;
  ArchiveVisitor visit;
  void *context;
  bool stopped;
};

// `path` is a 512-byte buffer holding the directory (empty or ending in
// '\'); `relativeStart` is where the paths handed to the visitor begin.
Error WalkDir(Walk *walk, char *path, size_t relativeStart) {
  FindRecord record;
  memset(&record, 0, sizeof record);
  Error e = walk->service->FindFirst(&record, path);
  if (e) {
    if (record.buffer) walk->service->FindClose(&record);
    // An empty directory ends its listing at once.
    return e == FERR_NOMOREFILES || e == FERR_FILENOTFOUND ? nullptr : e;
  }
  size_t base = strlen(path);
  Error result = nullptr;
  do {
    size_t n = strlen(record.name);
    if (base + n + 2 > 512) continue;  // cannot be named; skipped
    memcpy(path + base, record.name, n + 1);
    if (record.attributes & 0x10) {
      path[base + n] = '\\';
      path[base + n + 1] = 0;
      result = WalkDir(walk, path, relativeStart);
    } else {
      Error openError = nullptr;
      CFile *f = walk->service->Open(path, FOM_READ, &openError);
      if (!f && !openError) openError = ERR_ALLOCFAIL;
      if (walk->visit(path + relativeStart, f, openError, walk->context))
        walk->stopped = true;
      delete f;
    }
    path[base] = 0;
  } while (!walk->stopped && result == nullptr &&
           walk->service->FindNext(&record) == nullptr);
  walk->service->FindClose(&record);
  return result;
}

}  // namespace

Error WalkArchive(CFileService *service, const char *dir, ArchiveVisitor visit,
                  void *context) {
  if (!service || !dir || !visit) return ERR_BADPARAMS;
  char path[512];
  size_t n = strlen(dir);
  if (n + 2 > sizeof path) return ERR_BADPARAMS;
  memcpy(path, dir, n + 1);
  if (n > 0 && path[n - 1] != '\\') {
    path[n] = '\\';
    path[n + 1] = 0;
  }
  Walk walk = {service, visit, context, false};
  return WalkDir(&walk, path, strlen(path));
}

namespace {

struct Tally {
  u32 members;
  u64 bytes;
};

int CountFile(const char *, CFile *file, Error, void *context) {
  Tally *t = static_cast<Tally *>(context);
  t->members++;
  if (file) t->bytes += file->GetSize();
  return 0;
}

}  // namespace

Error TallyArchive(CFileService *service, u32 *membersOut, u64 *bytesOut) {
  Tally t = {0, 0};
  Error e = WalkArchive(service, "", CountFile, &t);
  *membersOut = t.members;
  *bytesOut = t.bytes;
  return e;
}

CFile *OpenContainer(CFile *file, bool allowEmbedded, Error *errorOut) {
  Error scratch = nullptr;
  if (!errorOut) errorOut = &scratch;
  *errorOut = nullptr;
  if (!file) {
    *errorOut = ERR_BADPARAMS;
    return nullptr;
  }
  CFile *base = file;
  if (!StartsWithLzss(file)) {
    u32 position = 0;
    if (!allowEmbedded || !FindEmbeddedArchive(file, &position)) {
      delete file;
      *errorOut = ERR_INVALIDFORMAT;
      return nullptr;
    }
    base = new CFileWindow(file, position,
                           EmbeddedArchiveLength(file, position), 1);
  }
  CLzssFile *lzss = new CLzssFile(base, 1);
  if (!lzss->valid) {
    delete lzss;
    *errorOut = ERR_INVALIDFORMAT;
    return nullptr;
  }
  return lzss;
}

Error ReadThrough(CFile *file, u32 *failedAtOut,
                  const ProgressSink *progress) {
  const u32 kChunk = 32768;
  u8 *buffer = static_cast<u8 *>(gPtrPool->Allocate(kChunk));
  if (!buffer) return ERR_ALLOCFAIL;
  u32 size = file->GetSize();
  Error e = file->Seek(0, SEEK_FROM_START);
  u32 done = 0;
  while (!e && done < size) {
    u32 n = size - done < kChunk ? size - done : kChunk;
    u32 got = 0;
    e = file->Read(buffer, n, &got);
    if (!e && got != n) e = FERR_EOF;
    if (!e) done += n;
    if (!e && progress) progress->Report(done, size);
  }
  gPtrPool->Free(buffer);
  if (e && failedAtOut) *failedAtOut = done;
  return e;
}

namespace {

struct Extraction {
  const char *destDir;
  ExtractReport report;
  void *context;
  u32 failures;
  const ProgressSink *progress;  // may be null
  u64 done, total;
};

// Creates every folder level of `relative` (a member path) below `dest`.
Error MakeParents(const char *dest, const char *relative) {
  char parent[512];
  if (!CopyText(parent, sizeof parent, dest) ||
      !AppendSeparator(parent, sizeof parent))
    return ERR_BADPARAMS;
  const char *component = relative;
  for (const char *p = relative; *p; p++) {
    if (*p != '\\' && *p != '/') continue;
    char name[256];
    size_t n = static_cast<size_t>(p - component);
    if (n >= sizeof name) return ERR_BADPARAMS;
    memcpy(name, component, n);
    name[n] = 0;
    Error e = FsMakeDir(parent, name);
    if (e && e != FERR_ALREADYEXISTS && e != FERR_FILEEXIST) return e;
    if (!AppendText(parent, sizeof parent, name) ||
        !AppendSeparator(parent, sizeof parent))
      return ERR_BADPARAMS;
    component = p + 1;
  }
  return nullptr;
}

Error CopyOut(CFile *source, CFile *target, Extraction *x) {
  const u32 kChunk = 32768;
  u8 *buffer = static_cast<u8 *>(gPtrPool->Allocate(kChunk));
  if (!buffer) return ERR_ALLOCFAIL;
  u32 size = source->GetSize(), done = 0;
  Error e = source->Seek(0, SEEK_FROM_START);
  while (!e && done < size) {
    u32 n = size - done < kChunk ? size - done : kChunk;
    u32 got = 0, put = 0;
    e = source->Read(buffer, n, &got);
    if (!e && got != n) e = FERR_EOF;
    if (!e) e = target->Write(buffer, n, &put);
    if (!e && put != n) e = FERR_WRITEFAIL;
    done += n;
    x->done += n;
    if (x->progress) x->progress->Report(x->done, x->total);
  }
  gPtrPool->Free(buffer);
  return e;
}

int ExtractOne(const char *path, CFile *file, Error openError, void *ctx) {
  Extraction *x = static_cast<Extraction *>(ctx);
  Error e = openError;
  char target[512];
  if (!e && !IsSafeRelativePath(path)) e = ERR_BADPARAMS;
  if (!e && !(CopyText(target, sizeof target, x->destDir) &&
              AppendSeparator(target, sizeof target) &&
              AppendText(target, sizeof target, path)))
    e = ERR_BADPARAMS;
  if (!e) e = MakeParents(x->destDir, path);
  if (!e) {
    CFile *out = FsOpen(target, FOM_READ | FOM_WRITE | FOM_CREATE | FOM_REPLACE,
                        &e);
    if (out) {
      e = CopyOut(file, out, x);
      delete out;
    } else if (!e) {
      e = FERR_OPENFAIL;
    }
  }
  if (e) {
    x->failures++;
    if (x->report) x->report(path, e, x->context);
  }
  return 0;
}

}  // namespace

Error MakeFolders(const char *path) {
  if (!path || !*path) return ERR_BADPARAMS;
  char parent[512] = "";
  const char *p = path;
  // Keep a drive or the root as the first parent.
  if (((p[0] | 0x20) >= 'a' && (p[0] | 0x20) <= 'z') && p[1] == ':') {
    parent[0] = p[0];
    parent[1] = ':';
    parent[2] = 0;
    p += 2;
  }
  if (*p == '\\' || *p == '/') {
    if (!AppendText(parent, sizeof parent, "\\")) return ERR_BADPARAMS;
    while (*p == '\\' || *p == '/') p++;
  }
  while (*p) {
    char name[256];
    size_t n = 0;
    while (p[n] && p[n] != '\\' && p[n] != '/') n++;
    if (n >= sizeof name) return ERR_BADPARAMS;
    memcpy(name, p, n);
    name[n] = 0;
    p += n;
    while (*p == '\\' || *p == '/') p++;
    if (n == 0 || (n == 1 && name[0] == '.')) continue;
    Error e = FsMakeDir(parent, name);
    if (e && e != FERR_ALREADYEXISTS && e != FERR_FILEEXIST &&
        e != FERR_ACCESSDENIED)
      return e;
    if (!AppendText(parent, sizeof parent, name) ||
        !AppendSeparator(parent, sizeof parent))
      return ERR_BADPARAMS;
  }
  return nullptr;
}

u32 ExtractArchive(CFileService *service, const char *destDir,
                   ExtractReport report, void *context,
                   const ProgressSink *progress) {
  Extraction x = {destDir, report, context, 0, progress, 0, 0};
  u32 members = 0;
  if (progress) TallyArchive(service, &members, &x.total);
  Error e = MakeFolders(destDir);
  if (e) {
    if (report) report(destDir, e, context);
    return 1;
  }
  e = WalkArchive(service, "", ExtractOne, &x);
  if (e) {
    x.failures++;
    if (report) report("", e, context);
  }
  return x.failures;
}
