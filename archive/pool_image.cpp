#include "archive/pool_image.h"

#include <cstring>

#include "archive/pool_file.h"
#include "archive/pool_fs.h"
#include "core/endian.h"
#include "core/ptr_pool.h"
#include "fs/file.h"
#include "fs/mount_table.h"

// ---- New pools -------------------------------------------------------------

Error CreatePoolFile(CFile *file, u32 blockSize, u32 headSize, u32 maxBlocks) {
  if (!file || blockSize % 4 != 0 || blockSize < kPoolMinBlockSize ||
      blockSize > kPoolMaxBlockSize || headSize % 4 != 0 || headSize < 8 ||
      headSize >= blockSize)
    return ERR_BADPARAMS;
  u32 limit = kPoolMaxBytes / blockSize;
  if (maxBlocks == 0 || maxBlocks > limit) maxBlocks = limit;
  // Block 0 in full: the header, then zeros.
  u8 *block = static_cast<u8 *>(gPtrPool->Allocate(blockSize));
  if (!block) return ERR_ALLOCFAIL;
  memset(block, 0, blockSize);
  memcpy(block, "HPFS", 4);
  PutU32LE(block + 4, blockSize);
  PutU32LE(block + 8, 1);  // blockCount: the header block
  PutU32LE(block + 12, maxBlocks);
  PutU32LE(block + 16, 0);  // freeCount
  PutU32LE(block + 20, 0);  // freeHead
  PutU32LE(block + 24, headSize);
  PutU32LE(block + 28, 0);  // userValue: no root directory yet
  Error e = file->WriteAt(block, 0, blockSize, nullptr);
  gPtrPool->Free(block);
  if (!e) e = file->Seek(static_cast<i32>(blockSize), SEEK_FROM_START);
  if (!e) e = file->Truncate();
  return e;
}

CHPFS *OpenPoolFileSystem(CFile *file, Error *errorOut) {
  CBFHP *pool = new CBFHP(nullptr, 0);
  Error e = pool->AttachFile(file);
  if (e) {
    delete pool;
    delete file;
    *errorOut = e;
    return nullptr;
  }
  CHPFS *fs = new CHPFS(pool);
  if (fs->Root() == 0) {
    Error f = pool->GetError();
    delete fs;
    *errorOut = f ? f : FERR_DISKFULL;
    return nullptr;
  }
  *errorOut = nullptr;
  return fs;
}

CHPFS *CreatePoolFileSystem(CFile *file, u32 blockSize, Error *errorOut) {
  Error e = CreatePoolFile(file, blockSize);
  if (e) {
    delete file;
    *errorOut = e;
    return nullptr;
  }
  return OpenPoolFileSystem(file, errorOut);
}

// ---- Paths -----------------------------------------------------------------

// `base` + separator + `name` into `out` (kPoolImagePathMax bytes); no
// separator after an empty base.
static bool JoinPath(char *out, const char *base, const char *name) {
  size_t b = strlen(base), n = strlen(name);
  size_t sep = b > 0 ? 1 : 0;
  if (b + sep + n + 1 > kPoolImagePathMax) return false;
  memmove(out, base, b);
  if (sep) out[b] = '\\';
  memcpy(out + b + sep, name, n + 1);
  return true;
}

static void CopyPath(char *failedPath, const char *path) {
  if (!failedPath) return;
  size_t n = strlen(path);
  if (n >= kPoolImagePathMax) n = kPoolImagePathMax - 1;
  memcpy(failedPath, path, n);
  failedPath[n] = 0;
}

// ---- Building an image -----------------------------------------------------

namespace {

struct ImageBuilder {
  CHPFS *fs;
  u8 *chunk;
  PoolImageStats stats;
  char *failedPath;
};

const u32 kCopyChunk = 1u << 16;

Error CopyFile(ImageBuilder *b, const char *hostPath, const char *poolPath) {
  Error e = nullptr;
  CFile *src = FsOpen(hostPath, FOM_READ | FOM_SHAREREAD, &e);
  if (!src) {
    CopyPath(b->failedPath, hostPath);
    return e ? e : FERR_OPENFAIL;
  }
  CFile *dst = b->fs->Open(
      poolPath, FOM_READ | FOM_WRITE | FOM_CREATE | FOM_REPLACE, &e);
  if (!dst) {
    delete src;
    CopyPath(b->failedPath, poolPath);
    return e;
  }
  for (;;) {
    u32 got = 0;
    e = src->Read(b->chunk, kCopyChunk, &got);
    if (e == FERR_EOF) e = nullptr;  // the last, short chunk
    if (e) {
      CopyPath(b->failedPath, hostPath);
      break;
    }
    if (got == 0) break;
    e = dst->Write(b->chunk, got, nullptr);
    if (e) {
      CopyPath(b->failedPath, poolPath);
      break;
    }
    b->stats.bytes += got;
    if (got < kCopyChunk) break;
  }
  delete dst;
  delete src;
  if (!e) b->stats.files++;
  return e;
}

Error CopyFolder(ImageBuilder *b, const char *hostDir, const char *poolDir) {
  FindRecord record;
  memset(&record, 0, sizeof record);
  Error e = FsFindFirst(&record, hostDir);
  char *hostChild = static_cast<char *>(gPtrPool->Allocate(2 * kPoolImagePathMax));
  if (!hostChild) {
    FsFindClose(&record);
    return ERR_ALLOCFAIL;
  }
  char *poolChild = hostChild + kPoolImagePathMax;
  while (!e) {
    if (!JoinPath(hostChild, hostDir, record.name) ||
        !JoinPath(poolChild, poolDir, record.name)) {
      CopyPath(b->failedPath, record.name);
      e = ERR_BUFFERTOOSMALL;
      break;
    }
    if (record.attributes & FATTR_DIRECTORY) {
      e = b->fs->MakeDir(poolDir, record.name);
      if (e) {
        CopyPath(b->failedPath, poolChild);
        break;
      }
      b->stats.directories++;
      e = CopyFolder(b, hostChild, poolChild);
    } else {
      e = CopyFile(b, hostChild, poolChild);
    }
    if (!e) e = FsFindNext(&record);
  }
  if (e == FERR_NOMOREFILES) e = nullptr;
  else if (e && b->failedPath && !b->failedPath[0]) CopyPath(b->failedPath, hostDir);
  FsFindClose(&record);
  gPtrPool->Free(hostChild);
  return e;
}

}  // namespace

Error BuildPoolImage(const char *sourceDir, const char *outPath, u32 blockSize,
                     PoolImageStats *stats, char *failedPath) {
  if (failedPath) failedPath[0] = 0;
  Error e = nullptr;
  CFile *out =
      FsOpen(outPath, FOM_READ | FOM_WRITE | FOM_CREATE | FOM_REPLACE, &e);
  if (!out) {
    CopyPath(failedPath, outPath);
    return e ? e : FERR_OPENFAIL;
  }
  CHPFS *fs = CreatePoolFileSystem(out, blockSize, &e);
  if (!fs) {
    CopyPath(failedPath, outPath);
    return e;
  }
  ImageBuilder b;
  b.fs = fs;
  b.stats.files = 0;
  b.stats.directories = 0;
  b.stats.bytes = 0;
  b.failedPath = failedPath;
  b.chunk = static_cast<u8 *>(gPtrPool->Allocate(kCopyChunk));
  e = b.chunk ? CopyFolder(&b, sourceDir, "") : ERR_ALLOCFAIL;
  if (b.chunk) gPtrPool->Free(b.chunk);
  // The pool's destructor flushes too, but cannot tell anyone it failed.
  Error f = fs->Pool()->Flush();
  if (!e) e = f;
  if (e && failedPath && !failedPath[0]) CopyPath(failedPath, outPath);
  delete fs;
  // No half-built image is left behind.
  if (e) FsDelete(outPath);
  if (stats) *stats = b.stats;
  return e;
}

// ---- Walking an image ------------------------------------------------------

namespace {

struct Walker {
  CHandlePool *pool;
  PoolVisitor visit;
  void *context;
  char path[kPoolImagePathMax];
  u32 *seen;  // directories already walked
  u32 seenCount;
  u32 seenCapacity;
};

// Notes a directory; false when it was walked before (a cycle or a
// directory listed twice).
bool FirstVisit(Walker *w, u32 dir, Error *e) {
  for (u32 i = 0; i < w->seenCount; i++) {
    if (w->seen[i] == dir) {
      *e = ERR_INVALIDFORMAT;
      return false;
    }
  }
  if (w->seenCount == w->seenCapacity) {
    u32 capacity = w->seenCapacity ? 2 * w->seenCapacity : 64;
    void *p = gPtrPool->Reallocate(w->seen, capacity * sizeof(u32));
    if (!p) {
      *e = ERR_ALLOCFAIL;
      return false;
    }
    w->seen = static_cast<u32 *>(p);
    w->seenCapacity = capacity;
  }
  w->seen[w->seenCount++] = dir;
  return true;
}

Error WalkDirectory(Walker *w, Handle dir, size_t pathLength) {
  Error e = nullptr;
  if (!FirstVisit(w, static_cast<u32>(dir), &e)) return e;
  u32 size = w->pool->GetSize(dir);
  if ((e = w->pool->GetError()) != nullptr) return e;
  if (size == 0) return nullptr;
  // Whole directory in memory: it is small, and the walk below opens files.
  u8 *bytes = static_cast<u8 *>(gPtrPool->Allocate(size));
  if (!bytes) return ERR_ALLOCFAIL;
  e = w->pool->Read(dir, bytes, 0, size);
  for (u32 pos = 0; !e && pos < size;) {
    if (size - pos < 8) {
      e = ERR_INVALIDFORMAT;
      break;
    }
    u32 handle = GetU32LE(bytes + pos);
    u16 flags = GetU16LE(bytes + pos + 4);
    u32 nameLength = GetU16LE(bytes + pos + 6);
    if (nameLength == 0 || nameLength > kHpfsMaxName ||
        nameLength > size - pos - 8) {
      e = ERR_INVALIDFORMAT;
      break;
    }
    const char *name = reinterpret_cast<const char *>(bytes + pos + 8);
    for (u32 i = 0; i < nameLength; i++) {
      if (name[i] == 0 || name[i] == '\\' || name[i] == '/') e = ERR_INVALIDFORMAT;
    }
    if (e) break;
    size_t sep = pathLength > 0 ? 1 : 0;
    if (pathLength + sep + nameLength + 1 > kPoolImagePathMax) {
      e = ERR_BUFFERTOOSMALL;
      break;
    }
    if (sep) w->path[pathLength] = '\\';
    memcpy(w->path + pathLength + sep, name, nameLength);
    size_t childLength = pathLength + sep + nameLength;
    w->path[childLength] = 0;
    u32 childSize = w->pool->GetSize(handle);
    if ((e = w->pool->GetError()) != nullptr) break;
    if (flags & kHpfsDirectory) {
      e = w->visit(w->context, w->path, FATTR_DIRECTORY, childSize, nullptr);
      if (!e) e = WalkDirectory(w, handle, childLength);
    } else {
      CHPFile file(w->pool, handle, FOM_READ);
      e = w->visit(w->context, w->path, 0, childSize, &file);
    }
    w->path[pathLength] = 0;
    pos += 8 + nameLength;
  }
  gPtrPool->Free(bytes);
  return e;
}

}  // namespace

Error PoolWalk(CHPFS *fs, PoolVisitor visit, void *context) {
  Walker *w = static_cast<Walker *>(gPtrPool->Allocate(sizeof(Walker)));
  if (!w) return ERR_ALLOCFAIL;
  w->pool = fs->Pool();
  w->visit = visit;
  w->context = context;
  w->path[0] = 0;
  w->seen = nullptr;
  w->seenCount = 0;
  w->seenCapacity = 0;
  Error e = WalkDirectory(w, fs->Root(), 0);
  if (w->seen) gPtrPool->Free(w->seen);
  gPtrPool->Free(w);
  return e;
}
