#include "core/handle_pool.h"

#include <cstdlib>
#include <cstring>

#include "core/ptr_pool.h"

static const char kCHandlePoolName[] = "CHandlePool";
const char *const CHandlePool::sClassName = kCHandlePoolName;

const char *CHandlePool::GetClassName() const { return sClassName; }

void *CHandlePool::Cast(const char *name) {
  if (name == sClassName) return this;
  return CObject::Cast(name);
}

CHandlePool::~CHandlePool() {}
void *CHandlePool::GetLockedPointer(Handle) { return nullptr; }
Handle CHandlePool::GetHandle(void *) { return 0; }
u32 CHandlePool::GetSize(Handle) { return 0; }
Error CHandlePool::Read(Handle, void *, u32, u32) { return nullptr; }
Error CHandlePool::Write(Handle, const void *, u32, u32) { return nullptr; }
Error CHandlePool::GetError() { return mError; }
Error CHandlePool::Extension() { return ERR_NOTIMPL; }
Error CHandlePool::Flush() { return nullptr; }
void CHandlePool::SetUserValue(u32) {}
u32 CHandlePool::GetUserValue() { return 0; }

// ---- CHeapHandlePool -------------------------------------------------------

Handle CHeapHandlePool::Allocate(u32 size) {
  return reinterpret_cast<Handle>(malloc(size ? size : 1));
}

Handle CHeapHandlePool::Reallocate(Handle h, u32 size) {
  return reinterpret_cast<Handle>(
      realloc(reinterpret_cast<void *>(h), size ? size : 1));
}

void CHeapHandlePool::Free(Handle h) { free(reinterpret_cast<void *>(h)); }
void *CHeapHandlePool::Lock(Handle h) { return reinterpret_cast<void *>(h); }
void CHeapHandlePool::Unlock(Handle, u32) {}
void *CHeapHandlePool::GetLockedPointer(Handle h) {
  return reinterpret_cast<void *>(h);
}
Handle CHeapHandlePool::GetHandle(void *p) {
  return reinterpret_cast<Handle>(p);
}
u32 CHeapHandlePool::GetSize(Handle h) {
  return HeapBlockSize(reinterpret_cast<void *>(h));
}

// ---- CFileHandlePool -------------------------------------------------------

struct CFileHandlePool::LockRecord {
  Handle handle;
  u32 lockCount;
  u32 modified;
  LockRecord *next;
  // The block's bytes follow at kDataOffset.
};

// The copy starts 16-byte aligned, as the record pool's blocks do.
static const u32 kDataOffset = 32;

u8 *CFileHandlePool::DataOf(LockRecord *r) {
  static_assert(sizeof(LockRecord) <= kDataOffset, "record header too big");
  return reinterpret_cast<u8 *>(r) + kDataOffset;
}

CFileHandlePool::CFileHandlePool(CPtrPool *copyPool, u32 ownsPool) {
  if (copyPool) {
    mCopyPool = copyPool;
    mOwnsPool = ownsPool;
  } else {
    mCopyPool = new CSizedPtrPool();
    mOwnsPool = 1;
  }
}

CFileHandlePool::~CFileHandlePool() {
  while (mLocks) {
    LockRecord *next = mLocks->next;
    mCopyPool->Free(mLocks);
    mLocks = next;
  }
  if (mOwnsPool) delete mCopyPool;
}

CFileHandlePool::LockRecord *CFileHandlePool::FindRecord(Handle h) const {
  for (LockRecord *r = mLocks; r; r = r->next)
    if (r->handle == h) return r;
  return nullptr;
}

void *CFileHandlePool::Lock(Handle h) {
  LockRecord *r = FindRecord(h);
  if (r) {
    r->lockCount++;
    return DataOf(r);
  }
  // A size that cannot be had (the backing store failed) must not become a
  // copy shorter than the block: callers index the copy by the block's size.
  mError = nullptr;
  u32 size = GetSize(h);
  if (mError) return nullptr;
  if (size > 0xFFFFFFFFu - kDataOffset) {
    mError = ERR_LOCKFAIL;
    return nullptr;
  }
  r = static_cast<LockRecord *>(
      mCopyPool->Allocate(kDataOffset + size));
  if (!r) {
    mError = ERR_LOCKFAIL;
    return nullptr;
  }
  // The derived class's Read fetches the bytes from its backing store.
  if (size != 0) {
    mError = Read(h, DataOf(r), 0, kToEnd);
    if (mError) {
      mCopyPool->Free(r);
      return nullptr;
    }
  }
  r->handle = h;
  r->lockCount = 1;
  r->modified = 0;
  r->next = mLocks;
  mLocks = r;
  return DataOf(r);
}

void CFileHandlePool::Unlock(Handle h, u32 modified) {
  LockRecord *r = FindRecord(h);
  if (!r) return;
  r->modified |= modified;
  if (--r->lockCount != 0) return;
  if (r->modified) Write(h, DataOf(r), 0, kToEnd);
  for (LockRecord **link = &mLocks; *link; link = &(*link)->next) {
    if (*link == r) {
      *link = r->next;
      break;
    }
  }
  mCopyPool->Free(r);
}

void *CFileHandlePool::GetLockedPointer(Handle h) {
  LockRecord *r = FindRecord(h);
  return r ? DataOf(r) : nullptr;
}

Handle CFileHandlePool::GetHandle(void *p) {
  for (LockRecord *r = mLocks; r; r = r->next)
    if (DataOf(r) == p) return r->handle;
  return 0;
}

Error CFileHandlePool::ClipToCopy(Handle h, u32 offset, u32 *count, u8 **at) {
  u8 *p = static_cast<u8 *>(GetLockedPointer(h));
  if (!p) return mError = ERR_NOTLOCKED;
  u32 n = GetSize(h);
  if (*count == kToEnd) *count = n;
  if (offset >= n) return mError = PERR_OVERMAXSIZE;
  if (*count > n - offset) *count = n - offset;
  *at = p + offset;
  return nullptr;
}

Error CFileHandlePool::Read(Handle h, void *dst, u32 offset, u32 count) {
  u8 *at;
  Error e = ClipToCopy(h, offset, &count, &at);
  if (!e) memcpy(dst, at, count);
  return e;
}

Error CFileHandlePool::Write(Handle h, const void *src, u32 offset, u32 count) {
  u8 *at;
  Error e = ClipToCopy(h, offset, &count, &at);
  if (!e) memcpy(at, src, count);
  return e;
}
