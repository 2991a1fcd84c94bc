#include "archive/pool_fs.h"

#include <cstring>

#include "core/endian.h"
#include "core/ptr_pool.h"

static const char kCHPFileName[] = "CHPFile";
static const char kCHPFSFileName[] = "CHPFSFile";
static const char kCHPFSName[] = "CHPFS";
const char *const CHPFile::sClassName = kCHPFileName;
const char *const CHPFSFile::sClassName = kCHPFSFileName;
const char *const CHPFS::sClassName = kCHPFSName;

// Directory entry layout.
static const u32 kEntryHeader = 8;
static const u32 kOffHandle = 0;
static const u32 kOffFlags = 4;
static const u32 kOffNameLength = 6;

static bool IsSeparator(char c) { return c == '\\' || c == '/'; }

static u8 Fold(u8 c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

static bool NamesEqual(const char *a, const char *b, u32 n) {
  for (u32 i = 0; i < n; i++)
    if (Fold(static_cast<u8>(a[i])) != Fold(static_cast<u8>(b[i]))) return false;
  return true;
}

// Length of the first component of `name` (up to a separator or length).
static u32 ComponentLength(const char *name, u32 length) {
  u32 n = 0;
  while (n < length && name[n] && !IsSeparator(name[n])) n++;
  return n;
}

// A name an entry may carry: 1..252 bytes, no separator.
static bool ValidName(const char *name, u32 length) {
  return length >= 1 && length <= kHpfsMaxName &&
         ComponentLength(name, length) == length;
}

// ---- CHPFile ---------------------------------------------------------------

const char *CHPFile::GetClassName() const { return sClassName; }

void *CHPFile::Cast(const char *name) {
  if (name == sClassName) return this;
  return CFile::Cast(name);
}

CHPFile::CHPFile(CHandlePool *pool, Handle handle, u32 mode)
    : CFile(nullptr, 0), mPool(pool), mHandle(handle) {
  openMode = static_cast<u16>(mode);
  mSize = handle ? pool->GetSize(handle) : 0;
  valid = 1;
}

CHPFile::~CHPFile() {}

Error CHPFile::Read(void *buffer, u32 size, u32 *countOut) {
  if (!mHandle) return ERR_WHATAMESS;
  if (countOut) {
    *countOut = 0;
    if (mPosition >= mSize) return nullptr;
    if (size > mSize - mPosition) size = mSize - mPosition;
    *countOut = size;
  } else if (mPosition > mSize || size > mSize - mPosition) {
    return ERR_UNKNOWN;
  }
  if (size == 0) return nullptr;
  Error e = mPool->Read(mHandle, buffer, mPosition, size);
  if (e) {
    if (countOut) *countOut = 0;
    return e;
  }
  mPosition += size;
  return nullptr;
}

Error CHPFile::Write(const void *buffer, u32 size, u32 *countOut) {
  if (!mHandle) return ERR_WHATAMESS;
  if (countOut) *countOut = size;
  if (size == 0) return nullptr;
  if (size > 0xFFFFFFFFu - mPosition) {
    if (countOut) *countOut = 0;
    return ERR_BADPARAMS;
  }
  if (mPosition + size > mSize) {
    if (!mPool->Reallocate(mHandle, mPosition + size)) {
      if (countOut) *countOut = 0;
      Error e = mPool->GetError();
      return e ? e : FERR_DISKFULL;
    }
    mSize = mPool->GetSize(mHandle);
  }
  Error e = mPool->Write(mHandle, buffer, mPosition, size);
  if (e) {
    if (countOut) *countOut = 0;
    return e;
  }
  mPosition += size;
  return nullptr;
}

Error CHPFile::Seek(i32 offset, i16 origin) {
  if (origin == SEEK_FROM_START)
    mPosition = static_cast<u32>(offset);
  else if (origin == SEEK_FROM_CURRENT)
    mPosition += static_cast<u32>(offset);
  else if (origin == SEEK_FROM_END)
    mPosition = mSize + static_cast<u32>(offset);
  return nullptr;
}

u32 CHPFile::GetSize() { return mSize; }
u32 CHPFile::Tell() { return mPosition; }

Error CHPFile::Flush() {
  if (mPool) mPool->Flush();
  return ERR_NOTIMPL;
}

Error CHPFile::Truncate() {
  if (!mHandle) return ERR_WHATAMESS;
  if (!mPool->Reallocate(mHandle, mPosition)) return ERR_UNKNOWN;
  mSize = mPosition;
  return nullptr;
}

// ---- CHPFSFile -------------------------------------------------------------

const char *CHPFSFile::GetClassName() const { return sClassName; }

void *CHPFSFile::Cast(const char *name) {
  if (name == sClassName) return this;
  return CHPFile::Cast(name);
}

CHPFSFile::CHPFSFile(CHPFS *owner, CHandlePool *pool, Handle handle, u32 mode)
    : CHPFile(pool, handle, mode), mOwner(owner) {}

CHPFSFile::~CHPFSFile() {
  if (mOwner) mOwner->Unlink(this);
}

// ---- CHPFS: construction ---------------------------------------------------

const char *CHPFS::GetClassName() const { return sClassName; }

void *CHPFS::Cast(const char *name) {
  if (name == sClassName) return this;
  return CFileService::Cast(name);
}

CHPFS::CHPFS(CHandlePool *pool, u32 cacheEntries) : mPool(pool) {
  mRoot = pool->GetUserValue();
  if (mRoot == 0) {
    mRoot = pool->Allocate(0);
    pool->SetUserValue(static_cast<u32>(mRoot));
  }
  if (cacheEntries) {
    mCache = static_cast<CacheEntry *>(
        gPtrPool->Allocate(cacheEntries * sizeof(CacheEntry)));
    if (mCache) {
      memset(mCache, 0, cacheEntries * sizeof(CacheEntry));
      mCacheCount = cacheEntries;
    }
  }
}

CHPFS::~CHPFS() {
  CacheDropAll();
  if (mCache) gPtrPool->Free(mCache);
  // Files left open must not reach the pool or this object any more.
  while (mOpenFiles) {
    CHPFSFile *f = mOpenFiles;
    mOpenFiles = f->mNext;
    f->mOwner = nullptr;
    f->mNext = nullptr;
    f->mPool = nullptr;
    f->mHandle = 0;
  }
  delete mPool;
}

void CHPFS::Unlink(CHPFSFile *file) {
  for (CHPFSFile **link = &mOpenFiles; *link; link = &(*link)->mNext) {
    if (*link == file) {
      *link = file->mNext;
      return;
    }
  }
}

Handle CHPFS::CachedDirectory(u32 i) const {
  return i < mCacheCount ? mCache[i].handle : 0;
}
u32 CHPFS::CachedHits(u32 i) const {
  return i < mCacheCount ? mCache[i].hits : 0;
}
const char *CHPFS::CachedPath(u32 i) const {
  return i < mCacheCount ? mCache[i].path : nullptr;
}

Error CHPFS::AllocationError() {
  Error e = mPool->GetError();
  return e ? e : FERR_DISKFULL;
}

// ---- Path cache ------------------------------------------------------------

void CHPFS::CacheInsert(Handle dir, const char *path, u32 length) {
  if (!mCache || dir == 0 || length + 1 > kCachePathSize) return;
  if (mPool->GetSize(dir) == 0) return;
  u32 victim = 0;
  bool haveVictim = false;
  for (u32 i = 0; i < mCacheCount; i++) {
    CacheEntry &c = mCache[i];
    if (c.handle == dir) return;
    // Old popularity fades so that new directories get their chance.
    if (c.hits > 4 * mCacheCount) c.hits -= mCacheCount;
    if (!haveVictim) {
      victim = i;
      haveVictim = true;
    } else if (mCache[victim].handle != 0 &&
               (c.handle == 0 || c.hits < mCache[victim].hits)) {
      victim = i;
    }
  }
  CacheEntry &c = mCache[victim];
  if (c.handle) mPool->Unlock(c.handle, 0);
  c.hits = 0;
  c.handle = static_cast<u32>(dir);
  if (!mPool->Lock(dir)) {
    c.handle = 0;
    return;
  }
  memcpy(c.path, path, length);
  c.path[length] = 0;
}

void CHPFS::CacheDrop(Handle dir) {
  for (u32 i = 0; i < mCacheCount; i++) {
    if (mCache[i].handle == dir && dir != 0) {
      mPool->Unlock(dir, 0);
      mCache[i].handle = 0;
      mCache[i].hits = 0;
    }
  }
}

void CHPFS::CacheDropAll() {
  for (u32 i = 0; i < mCacheCount; i++) {
    if (mCache[i].handle) mPool->Unlock(mCache[i].handle, 0);
    mCache[i].handle = 0;
    mCache[i].hits = 0;
  }
}

// ---- Lookups ---------------------------------------------------------------

Error CHPFS::FindEntry(Handle dir, const char *name, u32 length, u32 *posOut,
                       Entry *entryOut) {
  u32 n = ComponentLength(name, length);
  const u8 *p = static_cast<const u8 *>(mPool->Lock(dir));
  if (!p) return ERR_NOTFOUND;
  u32 size = mPool->GetSize(dir);
  Error result = ERR_NOTFOUND;
  for (u32 pos = 0; pos < size;) {
    if (size - pos < kEntryHeader) {
      result = ERR_INVALIDFORMAT;
      break;
    }
    u32 nameLength = GetU16LE(p + pos + kOffNameLength);
    if (nameLength == 0 || nameLength > kHpfsMaxName ||
        nameLength > size - pos - kEntryHeader) {
      result = ERR_INVALIDFORMAT;
      break;
    }
    if (nameLength == n && NamesEqual(reinterpret_cast<const char *>(p) + pos +
                                          kEntryHeader,
                                      name, n)) {
      entryOut->handle = GetU32LE(p + pos + kOffHandle);
      entryOut->flags = GetU16LE(p + pos + kOffFlags);
      entryOut->nameLength = static_cast<u16>(nameLength);
      memcpy(entryOut->name, p + pos + kEntryHeader, nameLength);
      *posOut = pos;
      result = nullptr;
      break;
    }
    pos += kEntryHeader + nameLength;
  }
  mPool->Unlock(dir, 0);
  return result;
}

Error CHPFS::ResolvePath(const char *path, u32 length, Handle *dirOut,
                         u32 *posOut, Entry *entryOut) {
  if (length == kToEnd) length = static_cast<u32>(strlen(path));
  *dirOut = mRoot;
  if (length == 0 || (length == 1 && IsSeparator(path[0]))) {
    entryOut->handle = static_cast<u32>(mRoot);
    entryOut->flags = kHpfsDirectory | kHpfsUnmovable;
    entryOut->nameLength = 0;
    *posOut = 0;
    return nullptr;
  }
  if (IsSeparator(path[0])) {
    path++;
    length--;
  }
  Handle dir = mRoot;
  u32 pos = 0;

  // Start below the longest cached directory that leads the path.
  bool hit = false;
  u32 best = 0, bestLength = 0;
  for (u32 i = 0; i < mCacheCount; i++) {
    const CacheEntry &c = mCache[i];
    if (c.handle == 0) continue;
    u32 L = static_cast<u32>(strlen(c.path));
    if (L + 1 < length && IsSeparator(path[L]) &&
        NamesEqual(c.path, path, L) && (!hit || L >= bestLength)) {
      hit = true;
      best = i;
      bestLength = L;
    }
  }
  if (hit) {
    mCache[best].hits++;
    dir = mCache[best].handle;
    pos = bestLength + 1;
  }

  bool passed = false;
  u32 lastSeparator = 0;
  u32 entryPos = 0;
  for (;;) {
    if (dir == 0) return ERR_UNKNOWN;
    Error e = FindEntry(dir, path + pos, length - pos, &entryPos, entryOut);
    if (e) return e;
    pos += entryOut->nameLength;
    if (pos >= length) break;
    // A separator follows: the entry must be a directory.
    if (!(entryOut->flags & kHpfsDirectory)) return ERR_UNKNOWN;
    if (pos + 1 == length) break;  // a trailing separator ends the path
    passed = true;
    lastSeparator = pos;
    dir = entryOut->handle;
    pos++;
  }
  if (passed) CacheInsert(dir, path, lastSeparator);
  *dirOut = dir;
  *posOut = entryPos;
  return nullptr;
}

Error CHPFS::Lookup(const char *path, Handle *handleOut, u16 *flagsOut) {
  Handle dir;
  u32 pos;
  Entry entry;
  Error e = ResolvePath(path, kToEnd, &dir, &pos, &entry);
  if (e) return e;
  *handleOut = entry.handle;
  *flagsOut = entry.flags;
  return nullptr;
}

// ---- Changing directories --------------------------------------------------

Error CHPFS::AddEntry(Handle dir, const char *name, u32 nameLength,
                      Handle handle, u16 flags) {
  if (dir == 0 || !ValidName(name, nameLength)) return ERR_UNKNOWN;
  u32 pos;
  Entry existing;
  Error e = FindEntry(dir, name, nameLength, &pos, &existing);
  if (!e) return ERR_UNKNOWN;
  if (e != ERR_NOTFOUND) return e;
  CacheDrop(dir);
  u8 record[kEntryHeader + kHpfsMaxName];
  PutU32LE(record + kOffHandle, static_cast<u32>(handle));
  PutU16LE(record + kOffFlags, flags);
  PutU16LE(record + kOffNameLength, static_cast<u16>(nameLength));
  memcpy(record + kEntryHeader, name, nameLength);
  u32 size = mPool->GetSize(dir);
  u32 length = kEntryHeader + nameLength;
  if (size > 0xFFFFFFFFu - length) return FERR_DISKFULL;
  if (!mPool->Reallocate(dir, size + length)) return AllocationError();
  e = mPool->Write(dir, record, size, length);
  // A directory must not keep a half-written entry.
  if (e) mPool->Reallocate(dir, size);
  return e;
}

Error CHPFS::AddPath(const char *path, Handle handle, u16 flags) {
  u32 length = static_cast<u32>(strlen(path));
  u32 split = length;
  while (split > 0 && !IsSeparator(path[split - 1])) split--;
  Handle dir = mRoot;
  if (split > 0) {
    Handle holder;
    u32 pos;
    Entry entry;
    Error e = ResolvePath(path, split - 1, &holder, &pos, &entry);
    if (e) return e;
    if (!(entry.flags & kHpfsDirectory)) return ERR_UNKNOWN;
    dir = entry.handle;
  }
  return AddEntry(dir, path + split, length - split, handle, flags);
}

Error CHPFS::RemoveEntry(Handle dir, u32 position, const Entry &entry) {
  u8 *p = static_cast<u8 *>(mPool->Lock(dir));
  if (!p) return ERR_UNKNOWN;
  u32 size = mPool->GetSize(dir);
  u32 length = kEntryHeader + entry.nameLength;
  if (position > size || length > size - position) {
    mPool->Unlock(dir, 0);
    return ERR_INVALIDFORMAT;
  }
  memmove(p + position, p + position + length, size - position - length);
  mPool->Unlock(dir, 1);
  CacheDrop(dir);
  // Cached paths that led through a removed directory lead nowhere now.
  if (entry.flags & kHpfsDirectory) CacheDropAll();
  if (!mPool->Reallocate(dir, size - length)) return ERR_UNKNOWN;
  return nullptr;
}

// ---- Service operations ----------------------------------------------------

CFile *CHPFS::Open(const char *path, u32 mode, Error *errorOut) {
  Error local;
  if (!errorOut) errorOut = &local;
  Handle dir;
  u32 pos;
  Entry entry;
  Error e = ResolvePath(path, kToEnd, &dir, &pos, &entry);
  if (!e && (entry.flags & kHpfsDirectory)) e = ERR_UNKNOWN;
  Handle h = 0;
  bool created = false;
  if (e == ERR_NOTFOUND && (mode & FOM_CREATE)) {
    h = mPool->Allocate(0);
    if (!h) {
      *errorOut = AllocationError();
      return nullptr;
    }
    e = AddPath(path, h, 0);
    if (e) {
      mPool->Free(h);
      *errorOut = e;
      return nullptr;
    }
    created = true;
  } else if (e) {
    *errorOut = e;
    return nullptr;
  } else {
    h = entry.handle;
  }

  const u32 share = FOM_SHAREREAD | FOM_SHAREWRITE;
  u32 allowed = share, used = 0;
  for (CHPFSFile *f = mOpenFiles; f; f = f->mNext) {
    if (f->mHandle != h) continue;
    allowed &= f->openMode;
    used |= f->openMode;
  }
  if (((mode & FOM_WRITE) && !(allowed & FOM_SHAREWRITE)) ||
      ((mode & FOM_READ) && !(allowed & FOM_SHAREREAD)) ||
      ((used & FOM_WRITE) && !(mode & FOM_SHAREWRITE)) ||
      ((used & FOM_READ) && !(mode & FOM_SHAREREAD))) {
    *errorOut = ERR_UNKNOWN;
    return nullptr;
  }
  if (!created && (mode & (FOM_CREATE | FOM_REPLACE)) &&
      !mPool->Reallocate(h, 0)) {
    *errorOut = AllocationError();
    return nullptr;
  }
  CHPFSFile *file = new CHPFSFile(this, mPool, h, mode);
  file->mNext = mOpenFiles;
  mOpenFiles = file;
  *errorOut = nullptr;
  return file;
}

u32 CHPFS::Exists(const char *path) {
  Handle dir;
  u32 pos;
  Entry entry;
  return ResolvePath(path, kToEnd, &dir, &pos, &entry) == nullptr ? 1 : 0;
}

Error CHPFS::Delete(const char *path) {
  Handle dir;
  u32 pos;
  Entry entry;
  Error e = ResolvePath(path, kToEnd, &dir, &pos, &entry);
  if (e) return e;
  if (entry.flags & kHpfsDirectory) return ERR_UNKNOWN;
  for (CHPFSFile *f = mOpenFiles; f; f = f->mNext)
    if (f->mHandle == entry.handle) return ERR_UNKNOWN;
  // The entry goes first, so that no entry ever names a freed block.
  e = RemoveEntry(dir, pos, entry);
  if (e) return e;
  mPool->Free(entry.handle);
  return nullptr;
}

Error CHPFS::Move(const char *fromPath, const char *toPath) {
  Handle dir;
  u32 pos;
  Entry entry;
  Error e = ResolvePath(fromPath, kToEnd, &dir, &pos, &entry);
  if (e) return e;
  if (entry.flags & kHpfsUnmovable) return ERR_UNKNOWN;
  e = RemoveEntry(dir, pos, entry);
  if (e) return e;
  if (AddPath(toPath, entry.handle, entry.flags) == nullptr) return nullptr;
  AddPath(fromPath, entry.handle, entry.flags);
  return ERR_UNKNOWN;
}

Error CHPFS::MakeDir(const char *parentPath, const char *name) {
  Handle dir;
  u32 pos;
  Entry parent;
  Error e = ResolvePath(parentPath, kToEnd, &dir, &pos, &parent);
  if (e) return e;
  u32 length = static_cast<u32>(strlen(name));
  if (!(parent.flags & kHpfsDirectory) || !ValidName(name, length))
    return ERR_UNKNOWN;
  Handle h = mPool->Allocate(0);
  if (!h) return AllocationError();
  e = AddEntry(parent.handle, name, length, h, kHpfsDirectory);
  if (e) mPool->Free(h);
  return e;
}

Error CHPFS::RemoveDir(const char *parentPath, const char *name) {
  Handle dir;
  u32 pos;
  Entry parent, entry;
  Error e = ResolvePath(parentPath, kToEnd, &dir, &pos, &parent);
  if (e) return e;
  u32 length = static_cast<u32>(strlen(name));
  if (!(parent.flags & kHpfsDirectory) || !ValidName(name, length))
    return ERR_UNKNOWN;
  e = FindEntry(parent.handle, name, length, &pos, &entry);
  if (e) return e;
  if (!(entry.flags & kHpfsDirectory) || mPool->GetSize(entry.handle) != 0)
    return ERR_UNKNOWN;
  e = RemoveEntry(parent.handle, pos, entry);
  if (e) return e;
  mPool->Free(entry.handle);
  return nullptr;
}

// Makes the entry at `position` of the listed directory the current one.
Error CHPFS::ListEntryAt(FindRecord *record, u32 position) {
  u32 size = static_cast<u32>(record->word);
  u8 *p = static_cast<u8 *>(record->buffer);
  if (!p || position >= size) return FERR_NOMOREFILES;
  if (size - position < kEntryHeader) return ERR_INVALIDFORMAT;
  u32 nameLength = GetU16LE(p + position + kOffNameLength);
  if (nameLength == 0 || nameLength > kHpfsMaxName ||
      nameLength > size - position - kEntryHeader)
    return ERR_INVALIDFORMAT;
  record->attributes =
      (GetU16LE(p + position + kOffFlags) & kHpfsDirectory) ? FATTR_DIRECTORY
                                                            : 0;
  char *name = reinterpret_cast<char *>(p) + position + kEntryHeader;
  // The buffer has one byte beyond the directory for the last name's NUL.
  name[nameLength] = 0;
  record->name = name;
  return nullptr;
}

Error CHPFS::FindFirst(FindRecord *record, const char *dirPath) {
  Handle dir;
  u32 pos;
  Entry entry;
  Error e = ResolvePath(dirPath, kToEnd, &dir, &pos, &entry);
  if (e) return e;
  // Listing a file would read its bytes as entries.
  if (!(entry.flags & kHpfsDirectory)) return FERR_PATHNOTFOUND;
  u32 size = mPool->GetSize(entry.handle);
  record->service = this;
  record->word = size;
  record->buffer = nullptr;
  record->attributes = 0;
  record->name = nullptr;
  if (size == 0) return FERR_NOMOREFILES;
  if (size == 0xFFFFFFFFu) return ERR_ALLOCFAIL;
  u8 *buffer = static_cast<u8 *>(gPtrPool->Allocate(size + 1));
  if (!buffer) return ERR_ALLOCFAIL;
  e = mPool->Read(entry.handle, buffer, 0, size);
  if (e) {
    gPtrPool->Free(buffer);
    return e;
  }
  record->buffer = buffer;
  return ListEntryAt(record, 0);
}

Error CHPFS::FindNext(FindRecord *record) {
  u8 *p = static_cast<u8 *>(record->buffer);
  if (!p || !record->name) return FERR_NOMOREFILES;
  // The name length sits just before the name and was never overwritten.
  const u8 *name = reinterpret_cast<const u8 *>(record->name);
  u32 next = static_cast<u32>(name - p) + GetU16LE(name - 2);
  return ListEntryAt(record, next);
}

Error CHPFS::FindClose(FindRecord *record) {
  if (record->buffer) gPtrPool->Free(record->buffer);
  record->buffer = nullptr;
  return nullptr;
}

Error CHPFS::Query(const char *, u32, char *) { return ERR_NOTIMPL; }
Error CHPFS::Extension(const char *, u32, u32) { return ERR_NOTIMPL; }

u32 CHPFS::GetDataOffset(const char *, Error *errorOut) {
  if (errorOut) *errorOut = nullptr;
  return 0;
}
