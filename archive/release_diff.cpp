#include "archive/release_diff.h"

#include <algorithm>
#include <cstring>

#include "archive/archive_open.h"
#include "core/ptr_pool.h"
#include "core/text.h"
#include "fs/file.h"
#include "fs/file_service.h"
#include "fs/mount_table.h"

namespace {

const u32 kChunk = 32768;

// A file of the old release: its path as listed, and the key it is matched
// by (upper case, '\' between components), in one block.
struct OldFile {
  char *key;
  const char *path;
  bool matched;
};

void MakeKey(char *out, const char *path) {
  for (; *path; path++, out++) {
    char c = *path;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c == '/') c = '\\';
    *out = c;
  }
  *out = 0;
}

struct OldList {
  OldFile *files = nullptr;
  u32 count = 0;
  u32 capacity = 0;
  Error error = nullptr;

  ~OldList() {
    for (u32 i = 0; i < count; i++) gPtrPool->Free(files[i].key);
    if (files) gPtrPool->Free(files);
  }

  void Add(const char *path) {
    if (!GrowPoolArray(&files, &capacity, count)) {
      error = ERR_ALLOCFAIL;
      return;
    }
    u32 n = static_cast<u32>(strlen(path)) + 1;
    char *block = static_cast<char *>(gPtrPool->Allocate(2 * n));
    if (!block) {
      error = ERR_ALLOCFAIL;
      return;
    }
    MakeKey(block, path);
    memcpy(block + n, path, n);
    files[count++] = {block, block + n, false};
  }

  OldFile *Find(const char *key) {
    OldFile *end = files + count;
    OldFile *at = std::lower_bound(files, end, key, [](const OldFile &f, const char *k) {
      return strcmp(f.key, k) < 0;
    });
    return at != end && strcmp(at->key, key) == 0 ? at : nullptr;
  }
};

int ListOld(const char *path, CFile *, Error openError, void *context) {
  OldList *list = static_cast<OldList *>(context);
  if (openError && !list->error) list->error = openError;
  list->Add(path);
  return list->error ? 1 : 0;
}

// Whether two files hold the same bytes; errors of either pass up.
Error SameBytes(CFile *a, CFile *b, bool *same) {
  *same = a->GetSize() == b->GetSize();
  if (!*same) return nullptr;
  u8 *buffer = static_cast<u8 *>(gPtrPool->Allocate(2 * kChunk));
  if (!buffer) return ERR_ALLOCFAIL;
  Error e = a->Seek(0, SEEK_FROM_START);
  if (!e) e = b->Seek(0, SEEK_FROM_START);
  for (u32 left = a->GetSize(); !e && *same && left > 0;) {
    u32 n = left < kChunk ? left : kChunk;
    u32 gotA = 0, gotB = 0;
    e = a->Read(buffer, n, &gotA);
    if (!e) e = b->Read(buffer + kChunk, n, &gotB);
    if (!e && (gotA != n || gotB != n)) e = FERR_EOF;
    if (!e) *same = memcmp(buffer, buffer + kChunk, n) == 0;
    left -= n;
  }
  gPtrPool->Free(buffer);
  return e;
}

struct Comparison {
  const char *oldDir;
  OldList *old;
  ReleaseVisitor visit;
  void *context;
  Error error;
  char failed[512];
};

int CompareNew(const char *path, CFile *file, Error openError, void *context) {
  Comparison *c = static_cast<Comparison *>(context);
  Error e = openError;
  char key[512];
  MakeKey(key, path);
  OldFile *old = e ? nullptr : c->old->Find(key);
  ReleaseChange change = kReleaseNew;
  if (old) {
    old->matched = true;
    char oldPath[512];
    if (!CopyText(oldPath, sizeof oldPath, c->oldDir) ||
        !AppendSeparator(oldPath, sizeof oldPath) ||
        !AppendText(oldPath, sizeof oldPath, old->path)) {
      e = ERR_BADPARAMS;
      CopyText(c->failed, sizeof c->failed, old->path);
    } else {
      CFile *oldFile = FsOpen(oldPath, FOM_READ | FOM_SHAREREAD, &e);
      bool same = false;
      if (oldFile) e = SameBytes(oldFile, file, &same);
      else if (!e) e = FERR_OPENFAIL;
      delete oldFile;
      if (e) CopyText(c->failed, sizeof c->failed, oldPath);
      change = same ? kReleaseUnchanged : kReleaseChanged;
    }
  } else if (e) {
    CopyText(c->failed, sizeof c->failed, path);
  }
  if (e) {
    c->error = e;
    return 1;
  }
  c->visit(path, change, c->context);
  return 0;
}

// The host file service and the folder's path within it.
CFileService *HostService(const char *dir, const char **rest) {
  *rest = dir;
  return ResolveMount(dir, rest);
}

}  // namespace

Error CompareReleases(const char *oldDir, const char *newDir,
                      ReleaseVisitor visit, void *context, char *failedOut,
                      u32 failedSize) {
  if (failedOut && failedSize) failedOut[0] = 0;
  if (!oldDir || !newDir || !visit) return ERR_BADPARAMS;
  auto fail = [&](const char *what, Error e) {
    if (failedOut && failedSize) CopyText(failedOut, failedSize, what);
    return e;
  };

  OldList old;
  const char *oldRest, *newRest;
  CFileService *oldService = HostService(oldDir, &oldRest);
  CFileService *newService = HostService(newDir, &newRest);
  if (!oldService || !newService) return fail(oldService ? newDir : oldDir, FERR_PATHNOTFOUND);
  Error e = WalkArchive(oldService, oldRest, ListOld, &old);
  if (!e) e = old.error;
  if (e) return fail(oldDir, e);
  std::sort(old.files, old.files + old.count, [](const OldFile &a, const OldFile &b) {
    return strcmp(a.key, b.key) < 0;
  });

  Comparison c = {oldDir, &old, visit, context, nullptr, ""};
  e = WalkArchive(newService, newRest, CompareNew, &c);
  if (c.error) return fail(c.failed, c.error);
  if (e) return fail(newDir, e);
  for (u32 i = 0; i < old.count; i++)
    if (!old.files[i].matched) visit(old.files[i].path, kReleaseRemoved, context);
  return nullptr;
}
