// CHashTable: an intrusive chained hash table. Nodes belong to the caller;
// the table keeps only the bucket heads and writes one link word inside each
// node, at the link offset. A node's key is found at the key offset from its
// address. Offsets must keep the link word pointer-aligned.
#pragma once

#include "core/errors.h"
#include "core/types.h"

// Bucket index of a key; must be below bucketCount (the table reduces a
// larger answer modulo the count rather than trust it).
typedef u32 (*HashTableHash)(const void *key, u32 bucketCount);
// 0 when the probe equals the node's key.
typedef i16 (*HashTableCompare)(const void *probe, const void *nodeKey);
// Receives every node that the table discards, with the table's user value.
typedef void (*HashTableFree)(void *node, void *user);

class CHashTable {
 public:
  // The bucket array comes zero-filled from gPtrPool; without memory (or
  // with no buckets asked for) the table has none and refuses every node.
  CHashTable(u32 bucketCount, HashTableHash hash, HashTableCompare compare,
             HashTableFree freeCallback, u32 linkOffset, u32 keyOffset);
  // ClearTable, then the bucket array goes back to gPtrPool. Not virtual:
  // tables are owned by value or through their exact type.
  ~CHashTable();
  CHashTable(const CHashTable &) = delete;
  CHashTable &operator=(const CHashTable &) = delete;

  // Links node at the head of its bucket, so it hides an earlier equal key;
  // null node or no buckets: the "Unknown error" code.
  virtual Error Insert(void *node);
  // First node equal to probe (the probe is hashed as it is), or null; with
  // linkOut, the address of the link that points to it (or of the chain's
  // terminating null link).
  virtual void *Find(const void *probe, void ***linkOut = nullptr);
  // As Find, searching the given bucket only; an index out of range finds
  // nothing.
  virtual void *FindInBucket(const void *probe, u32 bucket,
                             void ***linkOut = nullptr);
  // Unlinks the first node equal to probe and hands it over; NOTFOUND when
  // there is none; null probe or no buckets: the "Unknown error" code.
  virtual Error Detach(const void *probe, void **nodeOut);
  // Detach, then the node goes to the free callback (if any).
  virtual Error Remove(const void *probe);
  // Bucket heads and chain links that hold offsets from `base` become
  // addresses; null links stay null.
  virtual void Relocate(uintptr_t base);

  // Unlinks every node, bucket by bucket in index order, handing each to the
  // free callback; without a callback the buckets are simply emptied.
  void ClearTable();

  u32 BucketCount() const { return mBucketCount; }
  u32 ElementCount() const { return mElementCount; }
  void *UserValue() const { return mUserValue; }
  void SetUserValue(void *user) { mUserValue = user; }

 private:
  void **LinkOf(void *node) const {
    return reinterpret_cast<void **>(static_cast<u8 *>(node) + mLinkOffset);
  }
  const void *KeyOf(void *node) const {
    return static_cast<const u8 *>(node) + mKeyOffset;
  }
  u32 BucketOf(const void *key) const;

  void **mBuckets;  // pointer-sized heads
  u32 mBucketCount;
  u32 mElementCount = 0;
  HashTableHash mHash;
  HashTableCompare mCompare;
  HashTableFree mFreeCallback;
  u32 mLinkOffset;
  u32 mKeyOffset;
  void *mUserValue = nullptr;
};
