#include "fs/mount_table.h"

#include <cstring>

#include "core/ptr_pool.h"

namespace {

struct MountEntry {
  const char *name;
  CFileService *service;
  u32 ownsName;
};

struct MountTable {
  u16 capacity;
  u16 count;
  MountEntry *entries;
};

MountTable gMounts;

int FoldAscii(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

// Case-insensitive order; a leading part sorts first.
int CompareNames(const char *a, const char *b) {
  for (;; a++, b++) {
    int ca = FoldAscii(static_cast<unsigned char>(*a));
    int cb = FoldAscii(static_cast<unsigned char>(*b));
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
}

bool PrefixMatches(const char *path, const char *name, size_t n) {
  for (size_t i = 0; i < n; i++) {
    if (path[i] == 0) return false;
    if (FoldAscii(static_cast<unsigned char>(path[i])) !=
        FoldAscii(static_cast<unsigned char>(name[i])))
      return false;
  }
  return true;
}

// Index of the chosen entry, or -1.
int ResolveIndex(const char *path, const char **rest) {
  if (!path || !gMounts.entries) return -1;
  int best = -1;
  size_t bestLen = 0;
  for (u16 i = 0; i < gMounts.count; i++) {
    size_t n = strlen(gMounts.entries[i].name);
    if ((best < 0 || n > bestLen) &&
        (n == 0 || PrefixMatches(path, gMounts.entries[i].name, n))) {
      best = i;
      bestLen = n;
    }
  }
  if (best >= 0 && rest) *rest = path + bestLen;
  return best;
}

}  // namespace

Error MountTableInit(u16 capacity) {
  gMounts.capacity = 0;
  gMounts.count = 0;
  gMounts.entries = nullptr;
  if (capacity == 0) return ERR_BADPARAMS;
  u32 bytes = static_cast<u32>(capacity * sizeof(MountEntry));
  void *p = gPtrPool->Allocate(bytes);
  if (!p) return ERR_ALLOCFAIL;
  memset(p, 0, bytes);
  gMounts.entries = static_cast<MountEntry *>(p);
  gMounts.capacity = capacity;
  return nullptr;
}

Error MountTableShutdown() {
  if (!gMounts.entries) return nullptr;
  for (u16 i = 0; i < gMounts.count; i++) {
    delete gMounts.entries[i].service;
    if (gMounts.entries[i].ownsName)
      gPtrPool->Free(const_cast<char *>(gMounts.entries[i].name));
    gMounts.entries[i].service = nullptr;
    gMounts.entries[i].name = nullptr;
  }
  gPtrPool->Free(gMounts.entries);
  gMounts.entries = nullptr;
  gMounts.count = 0;
  gMounts.capacity = 0;
  return nullptr;
}

Error RegisterService(const char *name, CFileService *service,
                      u32 ownsName) {
  if (!name || !service) return ERR_BADPARAMS;
  if (!gMounts.entries) return ERR_WHATAMESS;
  if (gMounts.count >= gMounts.capacity) return ERR_OUTOFRANGE;
  u16 at = gMounts.count;
  for (u16 i = 0; i < gMounts.count; i++) {
    if (CompareNames(gMounts.entries[i].name, name) > 0) {
      at = i;
      break;
    }
  }
  memmove(&gMounts.entries[at + 1], &gMounts.entries[at],
          (gMounts.count - at) * sizeof(MountEntry));
  gMounts.entries[at].name = name;
  gMounts.entries[at].service = service;
  gMounts.entries[at].ownsName = ownsName;
  gMounts.count++;
  return nullptr;
}

CFileService *UnregisterService(const char *name) {
  const char *rest = nullptr;
  int i = ResolveIndex(name, &rest);
  if (i < 0 || *rest != 0) return nullptr;
  CFileService *service = gMounts.entries[i].service;
  if (gMounts.entries[i].ownsName)
    gPtrPool->Free(const_cast<char *>(gMounts.entries[i].name));
  memmove(&gMounts.entries[i], &gMounts.entries[i + 1],
          (gMounts.count - i - 1) * sizeof(MountEntry));
  gMounts.count--;
  gMounts.entries[gMounts.count].name = nullptr;
  gMounts.entries[gMounts.count].service = nullptr;
  gMounts.entries[gMounts.count].ownsName = 0;
  return service;
}

CFileService *ResolveMount(const char *path, const char **rest) {
  int i = ResolveIndex(path, rest);
  return i < 0 ? nullptr : gMounts.entries[i].service;
}

const char *MountNameOf(CFileService *service) {
  for (u16 i = 0; i < gMounts.count; i++)
    if (gMounts.entries[i].service == service) return gMounts.entries[i].name;
  return nullptr;
}

CFile *FsOpen(const char *path, u32 mode, Error *errorOut) {
  const char *rest;
  CFileService *s = ResolveMount(path, &rest);
  return s ? s->Open(rest, mode, errorOut) : nullptr;
}

Error FsDelete(const char *path) {
  const char *rest;
  CFileService *s = ResolveMount(path, &rest);
  return s ? s->Delete(rest) : FERR_FILE;
}

Error FsMove(const char *fromPath, const char *toPath) {
  const char *fromRest, *toRest;
  CFileService *from = ResolveMount(fromPath, &fromRest);
  CFileService *to = ResolveMount(toPath, &toRest);
  if (!from || from != to) return ERR_NOTIMPL;
  return from->Move(fromRest, toRest);
}

Error FsFindFirst(FindRecord *record, const char *dirPath) {
  if (!record) return ERR_BADPARAMS;
  record->service = nullptr;
  const char *rest;
  CFileService *s = ResolveMount(dirPath, &rest);
  return s ? s->FindFirst(record, rest) : FERR_FILE;
}

Error FsFindNext(FindRecord *record) {
  if (!record || !record->service) return FERR_FILE;
  return record->service->FindNext(record);
}

Error FsFindClose(FindRecord *record) {
  if (!record || !record->service) return FERR_FILE;
  return record->service->FindClose(record);
}

Error FsMakeDir(const char *parentPath, const char *relativePath) {
  const char *rest;
  CFileService *s = ResolveMount(parentPath, &rest);
  return s ? s->MakeDir(rest, relativePath) : FERR_FILE;
}

Error FsRemoveDir(const char *parentPath, const char *relativePath) {
  const char *rest;
  CFileService *s = ResolveMount(parentPath, &rest);
  return s ? s->RemoveDir(rest, relativePath) : FERR_FILE;
}

u32 FsExists(const char *path) {
  const char *rest;
  CFileService *s = ResolveMount(path, &rest);
  return s ? s->Exists(rest) : 0;
}

Error FsQuery(const char *path, u32 queryId, char *buffer) {
  const char *rest;
  CFileService *s = ResolveMount(path, &rest);
  return s ? s->Query(rest, queryId, buffer) : FERR_FILE;
}

Error FsExtension(const char *path, u32 a, u32 b) {
  const char *rest;
  CFileService *s = ResolveMount(path, &rest);
  return s ? s->Extension(rest, a, b) : FERR_FILE;
}

const FileApi gFileApi = {FsOpen,      FsDelete,   FsMove,    FsFindFirst,
                          FsFindNext,  FsFindClose, FsMakeDir, FsRemoveDir,
                          FsExists,    FsQuery,    FsExtension};
