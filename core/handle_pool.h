// Handle pools: movable blocks named by handles, addressable only while
// locked. Handle 0 is never a block.
#pragma once

#include "core/errors.h"
#include "core/object.h"
#include "core/pool_globals.h"
#include "core/types.h"

class CPtrPool;

// Count argument of Read/Write meaning "to the end of the block".
const u32 kToEnd = 0xFFFFFFFFu;

class CHandlePool : public virtual CObject {
 public:
  static const char *const sClassName;  // "CHandlePool"
  const char *GetClassName() const override;
  void *Cast(const char *name) override;

  virtual ~CHandlePool();
  // A new block of `size` bytes; 0 on failure.
  virtual Handle Allocate(u32 size) = 0;
  // Resizes h; 0 on failure (h stays valid then).
  virtual Handle Reallocate(Handle h, u32 size) = 0;
  // Releases h.
  virtual void Free(Handle h) = 0;
  // The block's bytes, valid until the matching Unlock; null on failure.
  virtual void *Lock(Handle h) = 0;
  // Ends one Lock; `modified` nonzero says the caller changed the bytes.
  virtual void Unlock(Handle h, u32 modified) = 0;
  // The pointer of a locked h, else null.
  virtual void *GetLockedPointer(Handle h);
  // The handle of a pointer returned by Lock, else 0.
  virtual Handle GetHandle(void *p);
  // Block size in bytes; 0 by default.
  virtual u32 GetSize(Handle h);
  // Copies out of the block from `offset`; count kToEnd means to the end.
  virtual Error Read(Handle h, void *dst, u32 offset, u32 count);
  // Copies into the block, likewise.
  virtual Error Write(Handle h, const void *src, u32 offset, u32 count);
  virtual Error GetError();
  // No pool provides it: "Not implemented yet".
  virtual Error Extension();
  virtual Error Flush();
  virtual void SetUserValue(u32 value);
  virtual u32 GetUserValue();

 protected:
  Error mError = nullptr;
};

// The process-wide pool: a handle is the address of a heap block.
class CHeapHandlePool : public CHandlePool {
 public:
  Handle Allocate(u32 size) override;
  Handle Reallocate(Handle h, u32 size) override;
  void Free(Handle h) override;
  void *Lock(Handle h) override;
  void Unlock(Handle h, u32 modified) override;
  void *GetLockedPointer(Handle h) override;
  Handle GetHandle(void *p) override;
  u32 GetSize(Handle h) override;
};

// Base of pools kept outside memory: each lock is served from a copy of the
// block read with Read and written back with Write by the last Unlock when
// any Unlock said the bytes were modified. Read and Write here work on the
// locked copy; a derived class overrides them to reach its backing store.
class CFileHandlePool : public CHandlePool {
 public:
  // With no copy pool, a private CSizedPtrPool is made and owned.
  CFileHandlePool(CPtrPool *copyPool, u32 ownsPool);
  // Drops every lock copy without writing it back.
  ~CFileHandlePool() override;

  // Nested locks share one copy; no memory: LOCKFAIL; a backing-store read
  // error is kept in the error field and the copy is dropped.
  void *Lock(Handle h) override;
  void Unlock(Handle h, u32 modified) override;
  void *GetLockedPointer(Handle h) override;
  Handle GetHandle(void *p) override;
  // On the locked copy: not locked → NOTLOCKED; offset at or past the end →
  // OVERMAXSIZE; a count past the end copies what is there.
  Error Read(Handle h, void *dst, u32 offset, u32 count) override;
  Error Write(Handle h, const void *src, u32 offset, u32 count) override;

 protected:
  struct LockRecord;
  LockRecord *FindRecord(Handle h) const;
  // The locked copy of h at `offset` with *count clipped to its end; the
  // codes of Read and Write.
  Error ClipToCopy(Handle h, u32 offset, u32 *count, u8 **at);
  static u8 *DataOf(LockRecord *r);

  CPtrPool *mCopyPool;
  u32 mOwnsPool;
  LockRecord *mLocks = nullptr;
};
