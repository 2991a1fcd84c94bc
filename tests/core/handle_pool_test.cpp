#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "core/handle_pool.h"
#include "core/ptr_pool.h"

// A file-backed pool whose backing store is a map, counting store traffic.
class MapHandlePool : public CFileHandlePool {
 public:
  MapHandlePool() : CFileHandlePool(nullptr, 0) {}
  Handle Allocate(u32 size) override {
    store[++next].assign(size, 0);
    return next;
  }
  Handle Reallocate(Handle h, u32 size) override {
    store[h].resize(size);
    return h;
  }
  void Free(Handle h) override { store.erase(h); }
  u32 GetSize(Handle h) override {
    if (failSize) {
      mError = FERR_READFAIL;
      return 0;
    }
    auto it = store.find(h);
    return it == store.end() ? 0 : static_cast<u32>(it->second.size());
  }
  Error Read(Handle h, void *dst, u32 offset, u32 count) override {
    reads++;
    if (failReads) return FERR_READFAIL;
    auto &v = store[h];
    if (count == kToEnd) count = static_cast<u32>(v.size()) - offset;
    memcpy(dst, v.data() + offset, count);
    return nullptr;
  }
  Error Write(Handle h, const void *src, u32 offset, u32 count) override {
    writes++;
    auto &v = store[h];
    if (count == kToEnd) count = static_cast<u32>(v.size()) - offset;
    memcpy(v.data() + offset, src, count);
    return nullptr;
  }
  // The in-copy operations of the base, for testing them directly.
  Error CopyRead(Handle h, void *dst, u32 offset, u32 count) {
    return CFileHandlePool::Read(h, dst, offset, count);
  }
  Error CopyWrite(Handle h, const void *src, u32 offset, u32 count) {
    return CFileHandlePool::Write(h, src, offset, count);
  }

  std::map<Handle, std::vector<u8>> store;
  Handle next = 0;
  int reads = 0, writes = 0;
  bool failReads = false;
  bool failSize = false;  // GetSize fails as a pool file's head read would
};

TEST(FileHandlePoolTest, NestedLocksShareOneCopyAndWriteBackOnLastUnlock) {
  MapHandlePool pool;
  Handle h = pool.Allocate(8);
  u8 *a = static_cast<u8 *>(pool.Lock(h));
  u8 *b = static_cast<u8 *>(pool.Lock(h));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(pool.reads, 1);
  a[0] = 42;
  pool.Unlock(h, 1);
  EXPECT_EQ(pool.writes, 0);  // still locked once
  EXPECT_EQ(pool.GetLockedPointer(h), a);
  pool.Unlock(h, 0);  // the earlier modified flag counts
  EXPECT_EQ(pool.writes, 1);
  EXPECT_EQ(pool.store[h][0], 42);
  EXPECT_EQ(pool.GetLockedPointer(h), nullptr);
}

TEST(FileHandlePoolTest, UnmodifiedAndZeroSizedBlocksCostNoStoreTraffic) {
  MapHandlePool pool;
  Handle h = pool.Allocate(8), empty = pool.Allocate(0);
  pool.Lock(h);
  pool.Lock(h);
  pool.Unlock(h, 0);
  pool.Unlock(h, 0);
  EXPECT_EQ(pool.writes, 0);
  EXPECT_NE(pool.Lock(empty), nullptr);
  EXPECT_EQ(pool.reads, 1);
  pool.Unlock(empty, 0);
}

TEST(FileHandlePoolTest, FailedStoreReadDropsTheCopy) {
  MapHandlePool pool;
  Handle h = pool.Allocate(8);
  pool.failReads = true;
  EXPECT_EQ(pool.Lock(h), nullptr);
  EXPECT_EQ(pool.GetError(), FERR_READFAIL);
  EXPECT_EQ(pool.GetLockedPointer(h), nullptr);
}

// Found by fault injection: a size that could not be read gave a copy of 0
// bytes, which the pool file system then indexed by the block's real size.
TEST(FileHandlePoolTest, ASizeThatCannotBeReadFailsTheLock) {
  MapHandlePool pool;
  Handle h = pool.Allocate(8);
  pool.failSize = true;
  EXPECT_EQ(pool.Lock(h), nullptr);
  EXPECT_EQ(pool.GetError(), FERR_READFAIL);
  pool.failSize = false;
  EXPECT_NE(pool.Lock(h), nullptr);
  pool.Unlock(h, 0);
}

TEST(FileHandlePoolTest, GetHandleMapsCopyPointersBack) {
  MapHandlePool pool;
  Handle h1 = pool.Allocate(4), h2 = pool.Allocate(4);
  void *p1 = pool.Lock(h1);
  void *p2 = pool.Lock(h2);
  EXPECT_EQ(pool.GetHandle(p1), h1);
  EXPECT_EQ(pool.GetHandle(p2), h2);
  int other;
  EXPECT_EQ(pool.GetHandle(&other), 0u);
  pool.Unlock(h1, 0);
  pool.Unlock(h2, 0);
}

TEST(FileHandlePoolTest, InCopyReadAndWriteRespectBounds) {
  MapHandlePool pool;
  Handle h = pool.Allocate(10);
  u8 buf[16] = {};
  EXPECT_EQ(pool.CopyRead(h, buf, 0, 4), ERR_NOTLOCKED);
  EXPECT_EQ(pool.GetError(), ERR_NOTLOCKED);
  u8 *p = static_cast<u8 *>(pool.Lock(h));
  for (int i = 0; i < 10; i++) p[i] = static_cast<u8>(i + 1);
  EXPECT_EQ(pool.CopyRead(h, buf, 10, 1), PERR_OVERMAXSIZE);
  memset(buf, 0xEE, sizeof buf);
  EXPECT_EQ(pool.CopyRead(h, buf, 6, 100), nullptr);  // clipped to 4
  EXPECT_EQ(buf[0], 7);
  EXPECT_EQ(buf[3], 10);
  EXPECT_EQ(buf[4], 0xEE);
  EXPECT_EQ(pool.CopyWrite(h, "xyz", 8, 3), nullptr);  // clipped to 2
  EXPECT_EQ(p[8], 'x');
  EXPECT_EQ(p[9], 'y');
  EXPECT_EQ(pool.CopyRead(h, buf, 0, kToEnd), nullptr);
  EXPECT_EQ(buf[9], 'y');
  pool.Unlock(h, 0);
}

TEST(FileHandlePoolTest, DestructorDropsOutstandingLocksUnwritten) {
  auto *pool = new MapHandlePool();
  Handle h = pool->Allocate(4);
  static_cast<u8 *>(pool->Lock(h))[0] = 9;
  delete pool;  // leak checkers would catch a record left behind
}

TEST(HeapHandlePoolTest, HandlesAreAddresses) {
  Handle h = gHandlePool->Allocate(64);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(gHandlePool->Lock(h), reinterpret_cast<void *>(h));
  EXPECT_EQ(gHandlePool->GetHandle(reinterpret_cast<void *>(h)), h);
  EXPECT_GE(gHandlePool->GetSize(h), 64u);
  gHandlePool->Unlock(h, 1);
  gHandlePool->Free(h);
}
