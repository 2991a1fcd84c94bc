// CHPFS: a hierarchical file system kept in a handle pool.
//
// Every file and every directory is one block of the pool; the root
// directory's handle is the pool's user value. A directory's bytes are its
// entries packed one after another in insertion order, without alignment or
// terminator:
//   u32 handle, u16 flags (bit 0 directory, bit 1 cannot be moved),
//   u16 nameLength (1..252), then the name's bytes (no separator, no NUL).
// An empty directory is a block of size 0. Paths use '\' or '/' between
// components, may start with one separator, and compare names
// case-insensitively for A-Z only.
//
// Directories met while resolving paths are remembered in a small path
// cache and stay locked in the pool while they are cached; every change of
// a directory drops it from the cache first.
#pragma once

#include "core/handle_pool.h"
#include "fs/file.h"
#include "fs/file_service.h"

class CHPFS;

// The longest name a directory entry may hold.
const u32 kHpfsMaxName = 252;
// Entry flags.
const u16 kHpfsDirectory = 0x0001;
const u16 kHpfsUnmovable = 0x0002;

// Any block of a handle pool seen as a file. The block is not freed with
// the file.
class CHPFile : public CFile {
 public:
  static const char *const sClassName;  // "CHPFile"
  const char *GetClassName() const override;
  void *Cast(const char *name) override;

  // Position 0; the size is the block's size now.
  CHPFile(CHandlePool *pool, Handle handle, u32 mode);
  ~CHPFile() override;

  // With countOut: reads what there is (nothing at or past the end, which
  // is not an error). Without: a read past the end is "Unknown error".
  // No block: WHATAMESS.
  Error Read(void *buffer, u32 size, u32 *countOut) override;
  // Grows the block when the write ends past it; a refused growth answers
  // the pool's code, or DISKFULL when the pool gives none. Writing 0 bytes
  // does nothing. No block: WHATAMESS.
  Error Write(const void *buffer, u32 size, u32 *countOut) override;
  // origin 0, 1, 2 as usual; no range check; other origins change nothing.
  Error Seek(i32 offset, i16 origin) override;
  u32 GetSize() override;
  u32 Tell() override;
  // Flushes the pool, yet answers "Not implemented yet".
  Error Flush() override;
  // Resizes the block to the position; a refusal is "Unknown error".
  Error Truncate() override;

  Handle Block() const { return mHandle; }

 protected:
  CHandlePool *mPool;
  Handle mHandle;  // 0: no block
  u32 mPosition = 0;
  u32 mSize = 0;
};

// A file opened by a CHPFS; it leaves its owner's list of open files when
// destroyed.
class CHPFSFile : public CHPFile {
 public:
  static const char *const sClassName;  // "CHPFSFile"
  const char *GetClassName() const override;
  void *Cast(const char *name) override;

  CHPFSFile(CHPFS *owner, CHandlePool *pool, Handle handle, u32 mode);
  ~CHPFSFile() override;

 private:
  friend class CHPFS;
  CHPFS *mOwner;
  CHPFSFile *mNext = nullptr;
};

class CHPFS : public CFileService {
 public:
  static const char *const sClassName;  // "CHPFS"
  const char *GetClassName() const override;
  void *Cast(const char *name) override;

  // Owns `pool`. A pool whose user value is 0 gets an empty root directory.
  // `cacheEntries` is the number of path cache entries.
  explicit CHPFS(CHandlePool *pool, u32 cacheEntries = 1);
  // Unlocks the cached directories and deletes the pool (which flushes
  // it). Files still open lose their block and answer WHATAMESS.
  ~CHPFS() override;

  // A CHPFSFile, or null with the code in *errorOut (always set). A
  // directory or the root: "Unknown error". Missing and FOM_CREATE: a new
  // empty file; FOM_CREATE or FOM_REPLACE empties an existing one. Sharing
  // with files already open is refused with "Unknown error".
  CFile *Open(const char *path, u32 mode, Error *errorOut) override;
  // 1 for files, directories and the root; else 0.
  u32 Exists(const char *path) override;
  // Files only, and only when not open ("Unknown error" otherwise).
  Error Delete(const char *path) override;
  // Moves an entry to another name or directory (it goes last there). On
  // failure it is put back, last in its old directory: "Unknown error".
  Error Move(const char *fromPath, const char *toPath) override;
  // Creates directory `name` (one component) in directory parentPath. A
  // parent that is a file, or a bad or existing name: "Unknown error"; no
  // room: the pool's code or DISKFULL.
  Error MakeDir(const char *parentPath, const char *name) override;
  // Removes the empty directory `name` from parentPath; a file or a
  // directory that is not empty: "Unknown error".
  Error RemoveDir(const char *parentPath, const char *name) override;
  // Lists a directory; a path naming a file: PATHNOTFOUND. An empty
  // directory: NOMOREFILES. Damaged entries: INVALIDFORMAT.
  Error FindFirst(FindRecord *record, const char *dirPath) override;
  // NOMOREFILES at the end.
  Error FindNext(FindRecord *record) override;
  // Gives the listing's buffer back; always null.
  Error FindClose(FindRecord *record) override;
  Error Query(const char *path, u32 queryId, char *buffer) override;
  Error Extension(const char *path, u32 a, u32 b) override;
  // *errorOut = null; 0.
  u32 GetDataOffset(const char *path, Error *errorOut) override;

  // What a path names: the entry's handle and flags (the root answers its
  // handle with flags 3).
  Error Lookup(const char *path, Handle *handleOut, u16 *flagsOut);
  CHandlePool *Pool() const { return mPool; }
  Handle Root() const { return mRoot; }

  // The path cache, for inspection: entry i's directory (0 when free), hits
  // and path.
  u32 CacheSize() const { return mCacheCount; }
  Handle CachedDirectory(u32 i) const;
  u32 CachedHits(u32 i) const;
  const char *CachedPath(u32 i) const;

 private:
  friend class CHPFSFile;
  struct Entry {
    u32 handle;
    u16 flags;
    u16 nameLength;
    char name[kHpfsMaxName];
  };
  struct CacheEntry {
    u32 handle;  // 0: free
    u32 hits;
    char path[80];
  };
  static const u32 kCachePathSize = 80;

  Error FindEntry(Handle dir, const char *name, u32 length, u32 *posOut,
                  Entry *entryOut);
  Error ResolvePath(const char *path, u32 length, Handle *dirOut, u32 *posOut,
                    Entry *entryOut);
  Error AddEntry(Handle dir, const char *name, u32 nameLength, Handle handle,
                 u16 flags);
  Error AddPath(const char *path, Handle handle, u16 flags);
  Error RemoveEntry(Handle dir, u32 position, const Entry &entry);
  void CacheInsert(Handle dir, const char *path, u32 length);
  void CacheDrop(Handle dir);
  void CacheDropAll();
  Error ListEntryAt(FindRecord *record, u32 position);
  Error AllocationError();
  void Unlink(CHPFSFile *file);

  CHandlePool *mPool;
  Handle mRoot = 0;
  CHPFSFile *mOpenFiles = nullptr;
  CacheEntry *mCache = nullptr;
  u32 mCacheCount = 0;
};
