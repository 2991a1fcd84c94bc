#include "config/hash_table.h"

#include <cstring>

#include "core/ptr_pool.h"

CHashTable::CHashTable(u32 bucketCount, HashTableHash hash,
                       HashTableCompare compare, HashTableFree freeCallback,
                       u32 linkOffset, u32 keyOffset)
    : mBuckets(nullptr),
      mBucketCount(bucketCount),
      mHash(hash),
      mCompare(compare),
      mFreeCallback(freeCallback),
      mLinkOffset(linkOffset),
      mKeyOffset(keyOffset) {
  // The byte count must fit the pool's 32-bit size.
  if (bucketCount == 0 || bucketCount > 0xFFFFFFFFu / sizeof(void *)) return;
  u32 bytes = bucketCount * static_cast<u32>(sizeof(void *));
  mBuckets = static_cast<void **>(gPtrPool->Allocate(bytes));
  if (mBuckets) memset(mBuckets, 0, bytes);
}

CHashTable::~CHashTable() {
  ClearTable();
  if (mBuckets) gPtrPool->Free(mBuckets);
}

u32 CHashTable::BucketOf(const void *key) const {
  u32 b = mHash(key, mBucketCount);
  return b < mBucketCount ? b : b % mBucketCount;
}

Error CHashTable::Insert(void *node) {
  if (!node || !mBuckets) return ERR_UNKNOWN;
  u32 b = BucketOf(KeyOf(node));
  *LinkOf(node) = mBuckets[b];
  mBuckets[b] = node;
  ++mElementCount;
  return nullptr;
}

void *CHashTable::Find(const void *probe, void ***linkOut) {
  if (!probe || !mBuckets) return nullptr;
  return FindInBucket(probe, BucketOf(probe), linkOut);
}

void *CHashTable::FindInBucket(const void *probe, u32 bucket,
                               void ***linkOut) {
  if (!probe || !mBuckets || bucket >= mBucketCount) return nullptr;
  void **link = &mBuckets[bucket];
  while (*link && mCompare(probe, KeyOf(*link)) != 0) link = LinkOf(*link);
  if (linkOut) *linkOut = link;
  return *link;
}

Error CHashTable::Detach(const void *probe, void **nodeOut) {
  if (!probe || !mBuckets) return ERR_UNKNOWN;
  void **link = nullptr;
  void *node = Find(probe, &link);
  if (!node) return ERR_NOTFOUND;
  *link = *LinkOf(node);
  *LinkOf(node) = nullptr;
  --mElementCount;
  if (nodeOut) *nodeOut = node;
  return nullptr;
}

Error CHashTable::Remove(const void *probe) {
  void *node = nullptr;
  Error e = Detach(probe, &node);
  if (e) return e;
  if (mFreeCallback) mFreeCallback(node, mUserValue);
  return nullptr;
}

void CHashTable::Relocate(uintptr_t base) {
  if (!mBuckets) return;
  for (u32 b = 0; b < mBucketCount; ++b) {
    void **link = &mBuckets[b];
    while (*link) {
      *link = reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(*link) +
                                       base);
      link = LinkOf(*link);
    }
  }
}

void CHashTable::ClearTable() {
  if (mBuckets) {
    if (mFreeCallback) {
      for (u32 b = 0; b < mBucketCount; ++b) {
        while (void *node = mBuckets[b]) {
          mBuckets[b] = *LinkOf(node);
          mFreeCallback(node, mUserValue);
        }
      }
    } else {
      memset(mBuckets, 0, mBucketCount * sizeof(void *));
    }
  }
  mElementCount = 0;
}
