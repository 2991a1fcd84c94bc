#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "pool_test_support.h"

namespace {

typedef std::vector<unsigned char> Bytes;
typedef std::unique_ptr<CBFHP> PoolPtr;

class PoolFileTest : public ::testing::Test {
 protected:
  TempDir dir;
  PoolFileAt file{dir / "pool.bin"};
};

Bytes ReadHandle(CBFHP *pool, Handle h) {
  Bytes out(pool->GetSize(h));
  if (!out.empty()) {
    EXPECT_EQ(pool->Read(h, out.data(), 0, kToEnd), nullptr);
  }
  return out;
}

void WriteHandle(CBFHP *pool, Handle h, const Bytes &bytes) {
  ASSERT_EQ(pool->GetSize(h), bytes.size());
  if (!bytes.empty()) {
    ASSERT_EQ(pool->Write(h, bytes.data(), 0, kToEnd), nullptr);
  }
}

// Blocks that no handle uses: the free list plus nothing else.
u32 UsedBlocks(CBFHP *pool) {
  return pool->BlockCount() - 1 - pool->FreeCount();
}

TEST_F(PoolFileTest, FileWithoutSignatureIsRefusedAndStaysTheCallers) {
  WriteWholeFile(file.path(), std::string(64, 'x'));
  CHostFile *f = OpenNativeFile(file.path(), false, false);
  CBFHP pool(nullptr, 0);
  EXPECT_EQ(pool.AttachFile(f), ERR_INVALIDFORMAT);
  char c = 0;
  EXPECT_EQ(f->ReadAt(&c, 3, 1, nullptr), nullptr);
  EXPECT_EQ(c, 'x');
  delete f;
  EXPECT_EQ(pool.AttachFile(nullptr), ERR_BADPARAMS);
  EXPECT_EQ(pool.Flush(), ERR_UNKNOWN);
}

TEST_F(PoolFileTest, ImpossibleHeadersAreRefused) {
  struct Case {
    size_t offset;
    u32 value;
  } cases[] = {
      {4, 0},        {4, 30},       {4, 66},       {4, 2u << 20},
      {24, 64},      {24, 100},     {24, 6},       {24, 4},
      {8, 0},        {8, 1000},     {12, 0},       {16, 1},
      {8, 0x7FFFFFF},
  };
  for (const Case &c : cases) {
    PoolPtr fresh(file.Create(64, 8, 100));
    ASSERT_TRUE(fresh);
    fresh.reset();
    file.PokeU32(c.offset, c.value);
    EXPECT_EQ(PoolPtr(file.Open()), nullptr) << c.offset << "=" << c.value;
  }
  // A free list whose head lies outside the file.
  PoolPtr fresh(file.Create(64, 8, 100));
  Handle a = fresh->Allocate(0), b = fresh->Allocate(0);
  fresh->Allocate(0);
  fresh->Free(a);
  fresh->Free(b);
  fresh.reset();
  file.PokeU32(20, 50);
  EXPECT_EQ(PoolPtr(file.Open()), nullptr);
  file.PokeU32(20, 0);
  EXPECT_EQ(PoolPtr(file.Open()), nullptr);
}

TEST_F(PoolFileTest, AllocateZeroGivesAnEmptyHeadBlock) {
  PoolPtr pool(file.Create(64, 8));
  Handle h = pool->Allocate(0);
  EXPECT_EQ(h, 1u);
  EXPECT_EQ(pool->GetSize(h), 0u);
  Handle g = pool->Allocate(0xFFFFFFFFu);
  EXPECT_EQ(pool->GetSize(g), 0u);
  ASSERT_EQ(pool->Flush(), nullptr);
  EXPECT_EQ(file.PeekU32(64), 0u);      // dataSize
  EXPECT_EQ(file.PeekU32(64 + 4), 0u);  // depth and padding
  EXPECT_EQ(file.PeekU32(8), 3u);       // blockCount
}

TEST_F(PoolFileTest, GrowingPastTheRootAddsALevelHoldingTheOldRoot) {
  // B = 64, headSize = 8: R = 14 root entries from position 2, E = 16.
  PoolPtr pool(file.Create(64, 8));
  Handle h = pool->Allocate(14 * 64);
  ASSERT_EQ(h, 1u);
  Bytes data = PatternBytes(14 * 64, 7);
  WriteHandle(pool.get(), h, data);
  ASSERT_EQ(pool->Flush(), nullptr);
  EXPECT_EQ(file.PeekU32(64 + 4) & 0xFFFF, 0u);  // still depth 0
  u32 oldRoot[14];
  for (u32 i = 0; i < 14; i++) oldRoot[i] = file.PeekU32(64 + 8 + 4 * i);

  ASSERT_EQ(pool->Reallocate(h, 14 * 64 + 1), h);
  ASSERT_EQ(pool->Flush(), nullptr);
  EXPECT_EQ(file.PeekU32(64), 14u * 64 + 1);
  EXPECT_EQ(file.PeekU32(64 + 4) & 0xFFFF, 1u);
  u32 level1 = file.PeekU32(64 + 8);
  EXPECT_EQ(file.PeekU32(64 + 12), oldRoot[1]);  // root position 3 untouched
  for (u32 i = 0; i < 14; i++)
    EXPECT_EQ(file.PeekU32(level1 * 64 + 4 * i), oldRoot[i]) << i;
  u32 newData = file.PeekU32(level1 * 64 + 4 * 14);
  EXPECT_NE(newData, 0u);
  EXPECT_EQ(std::count(oldRoot, oldRoot + 14, newData), 0);

  data.push_back(0x5A);
  ASSERT_EQ(pool->Write(h, &data.back(), 14 * 64, 1), nullptr);
  EXPECT_EQ(ReadHandle(pool.get(), h), data);
}

TEST_F(PoolFileTest, TwoLevelHandleGrownAndShrunkGivesEveryBlockBack) {
  PoolPtr pool(file.Create(64, 8));
  Handle keep = pool->Allocate(3 * 64);  // blocks in front of the handle
  Handle h = pool->Allocate(0);
  // Depth 0 up to 14 blocks, 1 up to 224, 2 beyond.
  const u32 sizes[] = {1, 64, 14 * 64 + 1, 224 * 64, 224 * 64 + 1, 300 * 64 - 5,
                       225 * 64, 224 * 64, 15 * 64, 14 * 64, 65, 0};
  for (u32 size : sizes) {
    Bytes before = ReadHandle(pool.get(), h);
    ASSERT_EQ(pool->Reallocate(h, size), h) << size;
    ASSERT_EQ(pool->GetSize(h), size);
    Bytes now = ReadHandle(pool.get(), h);
    size_t kept = std::min<size_t>(before.size(), size);
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + kept, now.begin()))
        << size;
    WriteHandle(pool.get(), h, PatternBytes(size, size));
    EXPECT_EQ(ReadHandle(pool.get(), h), PatternBytes(size, size));
  }
  EXPECT_EQ(UsedBlocks(pool.get()), 2u + 3u);
  pool->Free(h);
  pool->Free(keep);
  EXPECT_EQ(UsedBlocks(pool.get()), 0u);
  // Everything that was released can be had again without growing the file.
  u32 count = pool->BlockCount();
  u32 n = std::min<u32>((count - 3) * 15 / 17, 200);
  Handle again = pool->Allocate(n * 64);
  EXPECT_NE(again, 0u);
  EXPECT_EQ(pool->BlockCount(), count);
}

TEST_F(PoolFileTest, ReadingConsecutiveBlocksIsOneFileRead) {
  CountingFile *counter = nullptr;
  PoolPtr pool(file.Create(64, 8, 0));
  pool.reset();
  pool.reset(file.Open(&counter));
  ASSERT_TRUE(pool);
  Handle h = pool->Allocate(10 * 64);
  Bytes data = PatternBytes(10 * 64, 3);
  WriteHandle(pool.get(), h, data);
  Bytes back(10 * 64 - 5);
  counter->reads = 0;
  ASSERT_EQ(pool->Read(h, back.data(), 5, kToEnd), nullptr);
  EXPECT_EQ(counter->reads, 1);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin() + 5));

  // Two handles grown in turns lie interleaved: one read per block.
  Handle a = pool->Allocate(0), b = pool->Allocate(0);
  for (u32 i = 1; i <= 4; i++) {
    ASSERT_EQ(pool->Reallocate(a, i * 64), a);
    ASSERT_EQ(pool->Reallocate(b, i * 64), b);
  }
  Bytes four(4 * 64);
  counter->reads = 0;
  ASSERT_EQ(pool->Read(a, four.data(), 0, kToEnd), nullptr);
  EXPECT_EQ(counter->reads, 1 + 4);  // the head block, then each data block
}

TEST_F(PoolFileTest, FreeListSpanningSeveralBlocksIsReusedAfterReopening) {
  PoolPtr pool(file.Create(64, 8));
  std::vector<Handle> handles;
  for (int i = 0; i < 40; i++) handles.push_back(pool->Allocate(0));
  Handle last = pool->Allocate(0);
  for (Handle h : handles) pool->Free(h);
  EXPECT_EQ(pool->FreeCount(), 40u);  // E = 16: three free-list blocks
  u32 count = pool->BlockCount();
  ASSERT_EQ(pool->Flush(), nullptr);
  pool.reset(file.Open());
  ASSERT_TRUE(pool);
  std::set<Handle> again;
  for (int i = 0; i < 40; i++) again.insert(pool->Allocate(0));
  EXPECT_EQ(again, std::set<Handle>(handles.begin(), handles.end()));
  EXPECT_EQ(pool->FreeCount(), 0u);
  EXPECT_EQ(pool->BlockCount(), count);
  EXPECT_EQ(pool->GetSize(last), 0u);
}

TEST_F(PoolFileTest, ReleasingTheLastBlockShortensTheFile) {
  PoolPtr pool(file.Create(64, 8));
  Handle a = pool->Allocate(0);
  Handle b = pool->Allocate(64);
  pool->Write(b, PatternBytes(64, 1).data(), 0, 64);
  ASSERT_EQ(pool->Flush(), nullptr);
  EXPECT_EQ(file.Bytes().size(), 4u * 64);
  pool->Free(b);  // data block 3 is the last: cut; head block 2 then too
  ASSERT_EQ(pool->Flush(), nullptr);
  EXPECT_EQ(pool->BlockCount(), 2u);
  EXPECT_EQ(pool->FreeCount(), 0u);
  EXPECT_EQ(file.Bytes().size(), 2u * 64);
  EXPECT_EQ(pool->GetSize(a), 0u);
}

TEST_F(PoolFileTest, ReadAtTheEndIsBadParamsAndPastTheEndIsCut) {
  PoolPtr pool(file.Create(64, 8));
  Handle h = pool->Allocate(100);
  WriteHandle(pool.get(), h, PatternBytes(100, 9));
  char buf[64];
  EXPECT_EQ(pool->Read(h, buf, 100, 1), ERR_BADPARAMS);
  EXPECT_EQ(pool->Write(h, buf, 100, 1), ERR_BADPARAMS);
  memset(buf, 0, sizeof buf);
  EXPECT_EQ(pool->Read(h, buf, 90, 50), nullptr);
  EXPECT_EQ(memcmp(buf, PatternBytes(100, 9).data() + 90, 10), 0);
  EXPECT_EQ(buf[10], 0);
  EXPECT_EQ(pool->Read(0, buf, 0, 1), ERR_BADPARAMS);
  EXPECT_EQ(pool->Read(999, buf, 0, 1), ERR_BADPARAMS);
}

TEST_F(PoolFileTest, GrowthWithoutRoomForIndexBlocksChangesNothing) {
  // 16 blocks: header, head, 14 data; the fifteenth data block would also
  // need a level-1 index block.
  PoolPtr pool(file.Create(64, 8, 17));
  Handle h = pool->Allocate(14 * 64);
  ASSERT_NE(h, 0u);
  Bytes data = PatternBytes(14 * 64, 4);
  WriteHandle(pool.get(), h, data);
  EXPECT_EQ(pool->Reallocate(h, 15 * 64), 0u);
  EXPECT_EQ(pool->GetError(), nullptr);
  EXPECT_EQ(pool->GetSize(h), 14u * 64);
  EXPECT_EQ(pool->BlockCount(), 16u);
  EXPECT_EQ(ReadHandle(pool.get(), h), data);
  EXPECT_EQ(pool->Allocate(64), 0u);  // head fits, data does not: no leak
  EXPECT_EQ(pool->BlockCount(), 16u);
  EXPECT_NE(pool->Allocate(0), 0u);
}

TEST_F(PoolFileTest, GrowthThatMeetsADamagedFreeListIsUndone) {
  PoolPtr pool(file.Create(64, 8, 7));
  Handle a = pool->Allocate(0);
  Handle b = pool->Allocate(0), c = pool->Allocate(0), d = pool->Allocate(0);
  pool->Allocate(0);  // block 6 keeps the others from being cut
  pool->Free(b);      // free-list head, nothing written into it
  pool->Free(c);      // position 1 of b
  pool->Free(d);      // position 2 of b
  ASSERT_EQ(pool->Flush(), nullptr);
  pool.reset();
  file.PokeU32(b * 64 + 4, 9999);  // c's entry now points nowhere
  pool.reset(file.Open());
  ASSERT_TRUE(pool);
  EXPECT_EQ(pool->Reallocate(a, 3 * 64), 0u);
  EXPECT_EQ(pool->GetError(), ERR_INVALIDFORMAT);
  EXPECT_EQ(pool->GetSize(a), 0u);
  EXPECT_EQ(pool->FreeCount(), 3u);  // d was taken and given back
  ASSERT_EQ(pool->Reallocate(a, 64), a);  // d again
  ASSERT_EQ(pool->Flush(), nullptr);
  EXPECT_EQ(file.PeekU32(a * 64 + 8), d);
}

TEST_F(PoolFileTest, GrowthBeyondFiveLevelsIsRefused) {
  // B = 32, headSize = 28: one root entry, E = 8; depth 5 holds 8^5 blocks.
  PoolPtr pool(file.Create(32, 28));
  Handle h = pool->Allocate(0);
  const u32 full = 32768 * 32;
  ASSERT_EQ(pool->Reallocate(h, full), h);
  ASSERT_EQ(pool->Flush(), nullptr);
  EXPECT_EQ(file.PeekU32(h * 32 + 4) & 0xFFFF, 5u);
  u32 count = pool->BlockCount();
  EXPECT_EQ(pool->Reallocate(h, full + 1), 0u);
  EXPECT_EQ(pool->GetSize(h), full);
  EXPECT_EQ(pool->BlockCount(), count);
  u32 word = 0x12345678;
  ASSERT_EQ(pool->Write(h, &word, full - 4, 4), nullptr);
  word = 0;
  ASSERT_EQ(pool->Read(h, &word, full - 4, 4), nullptr);
  EXPECT_EQ(word, 0x12345678u);
  pool->Free(h);
  EXPECT_EQ(UsedBlocks(pool.get()), 0u);
}

TEST_F(PoolFileTest, DamagedHeadAndIndexBlocksFailWithoutCrashing) {
  PoolPtr pool(file.Create(64, 8));
  Handle h = pool->Allocate(20 * 64);  // depth 1
  WriteHandle(pool.get(), h, PatternBytes(20 * 64, 2));
  ASSERT_EQ(pool->Flush(), nullptr);
  pool.reset();
  Bytes good = file.Bytes();
  u32 level1 = GetU32LE(good.data() + h * 64 + 8);
  char buf[64];

  file.PokeU32(h * 64 + 4, 6);  // depth 6
  pool.reset(file.Open());
  EXPECT_EQ(pool->Read(h, buf, 0, 8), ERR_BADPARAMS);
  EXPECT_EQ(pool->Reallocate(h, 10), 0u);

  file.SetBytes(good);
  file.PokeU32(h * 64, 15 * 64 * 16);  // more than depth 1 can hold
  pool.reset(file.Open());
  EXPECT_EQ(pool->GetSize(h), 0u);
  EXPECT_EQ(pool->GetError(), ERR_INVALIDFORMAT);

  for (u32 bad : {0u, 5000u}) {
    file.SetBytes(good);
    file.PokeU32(level1 * 64 + 4 * 15, bad);  // data block 15
    pool.reset(file.Open());
    EXPECT_EQ(pool->Read(h, buf, 0, 64), nullptr);
    EXPECT_EQ(pool->Read(h, buf, 15 * 64, 8), ERR_INVALIDFORMAT);
    EXPECT_EQ(pool->Write(h, buf, 14 * 64, 128), ERR_INVALIDFORMAT);
    pool->Free(h);  // gives back what it can reach
  }
  file.SetBytes(good);
  file.PokeU32(h * 64 + 8, 4000);  // the level-1 block itself
  pool.reset(file.Open());
  EXPECT_EQ(pool->Read(h, buf, 0, 8), ERR_INVALIDFORMAT);
  EXPECT_EQ(pool->Read(h, buf, 16 * 64, 8), nullptr);  // under root position 3
  EXPECT_EQ(pool->Reallocate(h, 5 * 64), 0u);
  EXPECT_EQ(pool->GetSize(h), 16u * 64);  // what is still reachable
}

TEST_F(PoolFileTest, LocksReadTheBlockAndTheLastModifiedUnlockWritesIt) {
  PoolPtr pool(file.Create(64, 8));
  Handle h = pool->Allocate(150);
  WriteHandle(pool.get(), h, PatternBytes(150, 5));
  u8 *p = static_cast<u8 *>(pool->Lock(h));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(Bytes(p, p + 150), PatternBytes(150, 5));
  EXPECT_EQ(pool->Lock(h), p);
  p[149] ^= 0xFF;
  pool->Unlock(h, 1);
  EXPECT_EQ(ReadHandle(pool.get(), h), PatternBytes(150, 5));  // not yet
  pool->Unlock(h, 0);
  Bytes expected = PatternBytes(150, 5);
  expected[149] ^= 0xFF;
  EXPECT_EQ(ReadHandle(pool.get(), h), expected);
  EXPECT_EQ(pool->GetLockedPointer(h), nullptr);
}

// Random resizes, writes and frees of a few handles against plain vectors;
// the pool is reopened from disk now and then.
void RandomHandles(PoolFileAt &file, u32 blockSize, u32 headSize, u32 seed) {
  std::mt19937 rng(seed);
  PoolPtr pool(file.Create(blockSize, headSize));
  std::vector<std::pair<Handle, Bytes>> model;
  pool->SetUserValue(seed);  // kept in the header across reopening
  for (int step = 0; step < 600; step++) {
    u32 op = rng() % 10;
    if (model.empty() || op == 0) {
      u32 size = rng() % (blockSize * 40);
      Handle h = pool->Allocate(size);
      ASSERT_NE(h, 0u);
      Bytes data = PatternBytes(size, rng());
      WriteHandle(pool.get(), h, data);
      model.push_back({h, data});
      continue;
    }
    auto &m = model[rng() % model.size()];
    if (op <= 4) {
      u32 size = rng() % 3 == 0 ? rng() % (blockSize * 300) : rng() % (blockSize * 20);
      ASSERT_EQ(pool->Reallocate(m.first, size), m.first);
      size_t old = m.second.size();
      m.second.resize(size);
      // Bytes past the old size are whatever the blocks held: define them.
      if (size > old) {
        Bytes tail = PatternBytes(size - old, rng());
        std::copy(tail.begin(), tail.end(), m.second.begin() + old);
        ASSERT_EQ(pool->Write(m.first, tail.data(), static_cast<u32>(old),
                              static_cast<u32>(tail.size())),
                  nullptr);
      }
    } else if (op <= 6 && !m.second.empty()) {
      u32 at = rng() % m.second.size();
      u32 n = rng() % (blockSize * 8);
      Bytes patch = PatternBytes(n, rng());
      ASSERT_EQ(pool->Write(m.first, patch.data(), at, n), nullptr);
      for (u32 i = 0; i < n && at + i < m.second.size(); i++)
        m.second[at + i] = patch[i];
    } else if (op == 7) {
      pool->Free(m.first);
      m = model.back();
      model.pop_back();
    } else if (op == 8) {
      ASSERT_EQ(pool->Flush(), nullptr);
      pool.reset(file.Open());
      ASSERT_TRUE(pool);
      EXPECT_EQ(pool->GetUserValue(), seed);
    } else {
      ASSERT_EQ(ReadHandle(pool.get(), m.first), m.second) << step;
    }
  }
  for (auto &m : model) EXPECT_EQ(ReadHandle(pool.get(), m.first), m.second);
  for (auto &m : model) pool->Free(m.first);
  EXPECT_EQ(UsedBlocks(pool.get()), 0u);
}

TEST_F(PoolFileTest, RandomHandlesAgreeWithAModel) {
  RandomHandles(file, 64, 8, 1234);
  RandomHandles(file, 32, 28, 99);  // deep trees: a new level every factor of 8
}

}  // namespace
