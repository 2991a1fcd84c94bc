// Pointer pools: all library heap memory goes through one of these.
#pragma once

#include "core/errors.h"
#include "core/object.h"
#include "core/pool_globals.h"
#include "core/types.h"

class CPtrPool : public virtual CObject {
 public:
  static const char *const sClassName;  // "CPtrPool"
  const char *GetClassName() const override;
  void *Cast(const char *name) override;

  virtual ~CPtrPool();
  // A block of `size` bytes, or null.
  virtual void *Allocate(u32 size) = 0;
  // Resizes p (null allocates); null on failure, and p stays valid then.
  virtual void *Reallocate(void *p, u32 size) = 0;
  // Releases p.
  virtual void Free(void *p) = 0;
  // Size of the block p; 0 by default.
  virtual u32 GetSize(void *p);
  // The error field: meaningful only right after a failed call.
  virtual Error GetError();
  // No pool provides it: "Not implemented yet".
  virtual Error Extension(u32 a, u32 b);

 protected:
  Error mError = nullptr;
};

// The heap itself; reports failure only by a null result.
class CHeapPtrPool : public CPtrPool {
 public:
  void *Allocate(u32 size) override;
  void *Reallocate(void *p, u32 size) override;
  void Free(void *p) override;
  // The heap's own idea of the block's size (may exceed what was asked).
  u32 GetSize(void *p) override;
};

// A private pool that keeps each block's requested size in a 32-bit word in
// front of it and reports failures through the error field. Memory comes from
// gPtrPool. The word sits at the end of a header padded to the platform's
// strictest alignment, so the blocks handed out stay fit for any record.
class CSizedPtrPool : public CPtrPool {
 public:
  static const u32 kHeaderSize = 16;

  // n = 0: ZEROSIZE; no memory: NOTENOUGHMEMORY.
  void *Allocate(u32 size) override;
  // n = 0: ZEROSIZE (checked first); p null: NULLPOINTER; failure leaves p.
  void *Reallocate(void *p, u32 size) override;
  // p null: NULLPOINTER, nothing freed.
  void Free(void *p) override;
  // The size asked for; p null: NULLPOINTER and 0.
  u32 GetSize(void *p) override;
};

// The heap's size query for a block; one implementation per platform.
u32 HeapBlockSize(void *p);

// Room for one more element in `*array`, a block of gPtrPool (or null) with
// `count` of its `*capacity` elements in use: doubled when full, 64 at
// first. False when memory runs out or the size passes 32 bits; the array
// is then unchanged.
template <typename T>
bool GrowPoolArray(T **array, u32 *capacity, u32 count) {
  if (count < *capacity) return true;
  u32 more = *capacity ? *capacity * 2 : 64;
  if (more < *capacity || more > 0xFFFFFFFFu / sizeof(T)) return false;
  void *p = gPtrPool->Reallocate(*array, static_cast<u32>(more * sizeof(T)));
  if (!p) return false;
  *array = static_cast<T *>(p);
  *capacity = more;
  return true;
}
