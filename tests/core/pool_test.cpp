#include <gtest/gtest.h>

#include <cstring>

#include "core/ptr_pool.h"

TEST(SizedPtrPoolTest, BlocksKeepTheAskedSizeAndTheirDataWhenResized) {
  CSizedPtrPool pool;
  unsigned char *p = static_cast<unsigned char *>(pool.Allocate(7));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(pool.GetSize(p), 7u);
  EXPECT_EQ(pool.GetError(), nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignof(std::max_align_t), 0u);
  for (int i = 0; i < 7; i++) p[i] = static_cast<unsigned char>(i);
  p = static_cast<unsigned char *>(pool.Reallocate(p, 100000));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(pool.GetSize(p), 100000u);
  for (int i = 0; i < 7; i++) EXPECT_EQ(p[i], i);
  pool.Free(p);
}

TEST(SizedPtrPoolTest, ZeroSizeNullPointerAndHugeRequestsAreReported) {
  CSizedPtrPool pool;
  EXPECT_EQ(pool.GetError(), nullptr);
  // A huge request fails instead of wrapping.
  EXPECT_EQ(pool.Allocate(0xFFFFFFF8u), nullptr);
  EXPECT_EQ(pool.GetError(), PERR_NOTENOUGHMEMORY);
  EXPECT_EQ(pool.Allocate(0), nullptr);
  EXPECT_EQ(pool.GetError(), PERR_ZEROSIZE);

  void *p = pool.Allocate(5);
  memcpy(p, "abcde", 5);
  EXPECT_EQ(pool.Reallocate(p, 0), nullptr);
  EXPECT_EQ(pool.GetError(), PERR_ZEROSIZE);
  EXPECT_EQ(memcmp(p, "abcde", 5), 0);  // still valid and intact

  EXPECT_EQ(pool.Reallocate(nullptr, 5), nullptr);
  EXPECT_EQ(pool.GetError(), PERR_NULLPOINTER);
  // ZEROSIZE is tested before the null pointer.
  EXPECT_EQ(pool.Reallocate(nullptr, 0), nullptr);
  EXPECT_EQ(pool.GetError(), PERR_ZEROSIZE);

  pool.Free(nullptr);
  EXPECT_EQ(pool.GetError(), PERR_NULLPOINTER);
  EXPECT_EQ(pool.GetSize(nullptr), 0u);
  EXPECT_EQ(pool.GetError(), PERR_NULLPOINTER);
  pool.Free(p);
  EXPECT_EQ(pool.GetError(), nullptr);
}

TEST(HeapPtrPoolTest, NullReallocateAllocatesAndNullFreeIsHarmless) {
  void *p = gPtrPool->Reallocate(nullptr, 32);
  ASSERT_NE(p, nullptr);
  EXPECT_GE(gPtrPool->GetSize(p), 32u);
  gPtrPool->Free(p);
  gPtrPool->Free(nullptr);
  EXPECT_EQ(gPtrPool->GetError(), nullptr);
}
