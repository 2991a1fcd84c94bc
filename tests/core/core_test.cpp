#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "core/global_handle.h"
#include "core/handle_pool.h"
#include "core/ptr_pool.h"
#include "core/text.h"
#include "fs/file.h"

// The global handle table against a plain model: ids start at 1, a freed id
// is reused last-freed first, freeing the highest id shortens the table, a
// lock count has 8 bits. The table is process-wide; the test frees all it
// takes.
TEST(GlobalHandleTest, MatchesAModelOfIdsLocksAndContents) {
  std::mt19937 rng(3);
  std::map<u32, std::pair<u32, int>> live;  // id -> contents tag, locks
  std::vector<u32> freed;                   // the free list, last on top
  u32 count = 0;
  auto alloc = [&] {
    u32 id = GlobalHandleAlloc(8), tag = rng();
    bool reuse = !freed.empty();
    ASSERT_EQ(id, reuse ? freed.back() : ++count);
    if (reuse) freed.pop_back();
    *static_cast<u32 *>(GlobalHandleLock(id)) = tag;
    GlobalHandleUnlock(id);
    live[id] = {tag, 0};
  };
  auto release = [&](u32 id) {
    bool isLive = live.count(id) != 0;
    ASSERT_EQ(GlobalHandleFree(id), isLive ? 1u : 0u) << id;
    if (!isLive) return;
    live.erase(id);
    if (id == count) count--; else freed.push_back(id);
  };
  EXPECT_EQ(GlobalHandleAlloc(0), 0u);
  for (int i = 0; i < 5000; i++) alloc();  // past one chunk of the table
  for (int step = 0; step < 30000; step++) {
    u32 id = rng() % (count + 3);
    switch (rng() % 5) {
      case 0: alloc(); break;
      case 1: release(id); break;
      case 2: {
        void *p = GlobalHandleLock(id);
        auto it = live.find(id);
        if (it == live.end() || it->second.second == 255) {
          ASSERT_EQ(p, nullptr) << id;
        } else {
          ASSERT_NE(p, nullptr);
          ASSERT_EQ(*static_cast<u32 *>(p), it->second.first);
          it->second.second++;
        }
        break;
      }
      default: {
        GlobalHandleUnlock(id);
        auto it = live.find(id);
        if (it != live.end() && it->second.second) it->second.second--;
      }
    }
  }
  // A lock count at its top refuses one more.
  u32 id = live.begin()->first;
  for (; live[id].second < 255; live[id].second++) ASSERT_NE(GlobalHandleLock(id), nullptr);
  EXPECT_EQ(GlobalHandleLock(id), nullptr);
  EXPECT_EQ(GlobalHandleFree(0x7FFFFFFF), 0u);
  while (!live.empty()) release(live.rbegin()->first);
  alloc();
  release(live.begin()->first);
}

TEST(HeapPoolsTest, HandlesAreAddressesAndSizedBlocksKeepTheirSize) {
  Handle h = gHandlePool->Allocate(64);
  void *p = reinterpret_cast<void *>(h), *q = gPtrPool->Reallocate(nullptr, 32);  // allocates
  EXPECT_TRUE(gHandlePool->Lock(h) == p && gHandlePool->GetLockedPointer(h) == p && gHandlePool->GetHandle(p) == h);
  EXPECT_GE(gHandlePool->GetSize(h), 64u);
  EXPECT_GE(gPtrPool->GetSize(q), 32u);
  gHandlePool->Free(h);
  gPtrPool->Free(q);
  gPtrPool->Free(nullptr);
  EXPECT_EQ(gPtrPool->GetError(), nullptr);

  CSizedPtrPool pool;
  auto refused = [&](void *p) -> Error { return p ? "(allocated)" : pool.GetError(); };
  u8 *s = static_cast<u8 *>(pool.Allocate(7));
  EXPECT_EQ(pool.GetSize(s), 7u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(s) % alignof(std::max_align_t), 0u);
  memcpy(s, "abcdefg", 7);
  EXPECT_EQ(refused(pool.Reallocate(s, 0)), PERR_ZEROSIZE);
  s = static_cast<u8 *>(pool.Reallocate(s, 100000));
  EXPECT_EQ(pool.GetSize(s), 100000u);
  EXPECT_EQ(memcmp(s, "abcdefg", 7), 0);
  pool.Free(s);
  EXPECT_EQ(pool.GetError(), nullptr);
  // Refusals, each with its code; ZEROSIZE is tested before the null pointer.
  EXPECT_EQ(refused(pool.Allocate(0xFFFFFFF8u)), PERR_NOTENOUGHMEMORY);  // instead of wrapping
  EXPECT_EQ(refused(pool.Allocate(0)), PERR_ZEROSIZE);
  EXPECT_EQ(refused(pool.Reallocate(nullptr, 5)), PERR_NULLPOINTER);
  EXPECT_EQ(refused(pool.Reallocate(nullptr, 0)), PERR_ZEROSIZE);
  EXPECT_EQ(pool.GetSize(nullptr), 0u);
  EXPECT_EQ(pool.GetError(), PERR_NULLPOINTER);
}

TEST(ObjectTest, CastFindsTheClassByNamePointerThroughVirtualBases) {
  CFile file(nullptr, 0);
  CSizedPtrPool sized;
  CPtrPool *asPool = &sized;
  char sameText[] = "CFile";
  EXPECT_EQ(file.Cast(CFile::sClassName), static_cast<void *>(&file));
  EXPECT_EQ(file.Cast(CObject::sClassName), static_cast<void *>(static_cast<CObject *>(&file)));
  EXPECT_EQ(file.Cast(sameText), nullptr);
  EXPECT_EQ(file.Cast(CPtrPool::sClassName), nullptr);
  EXPECT_EQ(sized.Cast(CPtrPool::sClassName), static_cast<void *>(asPool));
  EXPECT_EQ(sized.Cast(CObject::sClassName), static_cast<void *>(static_cast<CObject *>(&sized)));
  EXPECT_EQ(sized.Cast(CHandlePool::sClassName), nullptr);
}

TEST(TextTest, CopyAndAppendRefuseWhatDoesNotFit) {
  char buf[8];
  EXPECT_TRUE(CopyText(buf, sizeof buf, "abc") && AppendText(buf, sizeof buf, "defg"));  // 7 characters fit
  EXPECT_FALSE(AppendText(buf, sizeof buf, "h"));
  EXPECT_STREQ(buf, "abcdefg");
  EXPECT_FALSE(CopyText(buf, sizeof buf, "12345678") || buf[0] || CopyText(buf, 0, "x"));
  char sep[6] = "ab", empty[2] = "", full[3] = "ab";
  EXPECT_TRUE(AppendSeparator(sep, sizeof sep) && AppendSeparator(sep, sizeof sep));  // once
  EXPECT_TRUE(AppendSeparator(empty, sizeof empty) && !AppendSeparator(full, sizeof full));
  EXPECT_EQ(std::string(sep) + "|" + empty, "ab\\|");
}

TEST(TextTest, UnsafeMemberPathsAreRecognised) {
  for (const char *p : {"VASK.EXE", "MAPS\\DEEP\\X.MAP", "GAMESPY ARCADE\\A..B", "A.B.\\.X",
                        "CONFIG\\COM10\\NULL.TXT"})
    EXPECT_TRUE(IsSafeRelativePath(p)) << p;
  for (const char *p : {"", "..", "..\\X", "A\\..\\..\\X", "A/../X", "\\X", "/etc/passwd",
                        "C:\\X", "C:X", "A\\\\B", "A\\", ".\\X", "A\\.", "X\x01Y", "X\nY",
                        "X\x7FY", "NAME:STREAM", "...\\x", ".. \\X", "A\\. .", " ", "CON",
                        "nul.txt", "A\\Com1.dat", "LPT9 .x"})
    EXPECT_FALSE(IsSafeRelativePath(p)) << p;
  EXPECT_FALSE(IsSafeRelativePath(nullptr));
}
