#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/global_handle.h"

// The table is process-wide; each test frees everything it takes so the next
// starts from an empty table.

TEST(GlobalHandleTest, IdsStartAtOneAndFreedLowIdsAreReused) {
  EXPECT_EQ(GlobalHandleAlloc(0), 0u);
  u32 a = GlobalHandleAlloc(4), b = GlobalHandleAlloc(4), c = GlobalHandleAlloc(4);
  EXPECT_EQ(a, 1u);
  EXPECT_EQ(b, 2u);
  EXPECT_EQ(c, 3u);
  EXPECT_EQ(GlobalHandleFree(a), 1u);
  EXPECT_EQ(GlobalHandleFree(a), 0u);  // already free
  EXPECT_EQ(GlobalHandleAlloc(4), 1u);
  EXPECT_EQ(GlobalHandleAlloc(4), 4u);
  // Freeing the highest id shortens the table instead of listing the id as
  // free: the id past the end is invalid now.
  EXPECT_EQ(GlobalHandleFree(4), 1u);
  EXPECT_EQ(GlobalHandleLock(4), nullptr);
  EXPECT_EQ(GlobalHandleFree(4), 0u);
  EXPECT_EQ(GlobalHandleAlloc(4), 4u);
  for (u32 id = 4; id >= 1; id--) EXPECT_EQ(GlobalHandleFree(id), 1u);
  EXPECT_EQ(GlobalHandleFree(0), 0u);
  EXPECT_EQ(GlobalHandleFree(12345), 0u);
}

TEST(GlobalHandleTest, LocksNestAndKeepTheBlock) {
  u32 id = GlobalHandleAlloc(16);
  char *p = static_cast<char *>(GlobalHandleLock(id));
  ASSERT_NE(p, nullptr);
  strcpy(p, "hello");
  EXPECT_EQ(GlobalHandleLock(id), p);
  GlobalHandleUnlock(id);
  GlobalHandleUnlock(id);
  char *q = static_cast<char *>(GlobalHandleLock(id));
  EXPECT_STREQ(q, "hello");
  GlobalHandleUnlock(id);
  GlobalHandleUnlock(id);  // unmatched unlock is ignored
  EXPECT_EQ(GlobalHandleLock(0), nullptr);
  GlobalHandleFree(id);
}

TEST(GlobalHandleTest, LockCountIsEightBitsAndRefusesTheOverflow) {
  u32 id = GlobalHandleAlloc(4);
  for (int i = 0; i < 255; i++) ASSERT_NE(GlobalHandleLock(id), nullptr);
  EXPECT_EQ(GlobalHandleLock(id), nullptr);
  for (int i = 0; i < 255; i++) GlobalHandleUnlock(id);
  GlobalHandleFree(id);
}

TEST(GlobalHandleTest, TableGrowsPastAChunkAndShrinksBack) {
  std::vector<u32> ids;
  for (u32 i = 0; i < 9000; i++) {
    u32 id = GlobalHandleAlloc(8);
    ASSERT_EQ(id, i + 1);
    ids.push_back(id);
    u32 *p = static_cast<u32 *>(GlobalHandleLock(id));
    *p = id * 3;
    GlobalHandleUnlock(id);
  }
  for (u32 id : ids) {
    u32 *p = static_cast<u32 *>(GlobalHandleLock(id));
    ASSERT_EQ(*p, id * 3);
    GlobalHandleUnlock(id);
  }
  // Free from the top: every free shortens the table.
  for (size_t i = ids.size(); i-- > 0;) ASSERT_EQ(GlobalHandleFree(ids[i]), 1u);
  EXPECT_EQ(GlobalHandleAlloc(8), 1u);
  GlobalHandleFree(1);
}
