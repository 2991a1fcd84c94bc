#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/ptr_pool.h"
#include "fs/file.h"

// An in-memory CFile that implements only the primitive slots, so that the
// base class's ReadAt, WriteAt, MoveData and regions are what runs.
class MemFile : public CFile {
 public:
  explicit MemFile(std::vector<u8> bytes, int *destroyed = nullptr)
      : CFile(nullptr, 0), data(std::move(bytes)), destroyedCount(destroyed) {}
  ~MemFile() override {
    if (destroyedCount) ++*destroyedCount;
  }
  Error Read(void *buffer, u32 size, u32 *countOut) override {
    reads.push_back(pos);
    u32 n = pos >= data.size() ? 0 : static_cast<u32>(data.size()) - pos;
    if (n > size) n = size;
    memcpy(buffer, data.data() + pos, n);
    pos += n;
    if (countOut) *countOut = n;
    return n == size ? nullptr : FERR_EOF;
  }
  Error Write(const void *buffer, u32 size, u32 *countOut) override {
    if (pos + size > data.size()) data.resize(pos + size);
    memcpy(data.data() + pos, buffer, size);
    pos += size;
    if (countOut) *countOut = size;
    return nullptr;
  }
  Error Seek(i32 offset, i16 origin) override {
    if (origin == 0) pos = static_cast<u32>(offset);
    return nullptr;
  }
  u32 GetSize() override { return static_cast<u32>(data.size()); }
  u32 Tell() override { return pos; }

  std::vector<u8> data;
  std::vector<u32> reads;
  u32 pos = 0;
  int *destroyedCount;
};

static std::vector<u8> Iota(int n) {
  std::vector<u8> v(n);
  for (int i = 0; i < n; i++) v[i] = static_cast<u8>(i);
  return v;
}

TEST(FileTest, MoveDataBackwardsGrowsTheFileInReverseChunks) {
  MemFile f(Iota(20));
  EXPECT_EQ(f.MoveData(10, 0, 0x7FFFFFFF, 4, nullptr), nullptr);
  ASSERT_EQ(f.data.size(), 30u);
  EXPECT_EQ(f.reads.front(), 16u);  // the first chunk read is bytes 16..19
  EXPECT_EQ(f.reads.size(), 5u);
  for (int i = 0; i < 10; i++) EXPECT_EQ(f.data[i], i);
  for (int i = 10; i < 30; i++) EXPECT_EQ(f.data[i], i - 10);
}

TEST(FileTest, MoveDataForwardsKeepsTheLength) {
  MemFile f(Iota(20));
  EXPECT_EQ(f.MoveData(0, 10, 0x7FFFFFFF, 4, nullptr), nullptr);
  ASSERT_EQ(f.data.size(), 20u);
  EXPECT_EQ(f.reads, (std::vector<u32>{10, 14, 18}));
  for (int i = 0; i < 10; i++) EXPECT_EQ(f.data[i], i + 10);
  for (int i = 10; i < 20; i++) EXPECT_EQ(f.data[i], i);
}

TEST(FileTest, MoveDataFromBeyondTheEndDoesNothing) {
  MemFile f(Iota(20));
  EXPECT_EQ(f.MoveData(0, 21, 5, 4, nullptr), nullptr);
  EXPECT_TRUE(f.reads.empty());
  EXPECT_EQ(f.data, Iota(20));
}

TEST(FileTest, MoveDataUsesTheCallersBuffer) {
  MemFile f(Iota(8));
  u8 bounce[3];
  EXPECT_EQ(f.MoveData(1, 0, 8, 3, bounce), nullptr);
  EXPECT_EQ(f.data, (std::vector<u8>{0, 0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST(FileTest, RegionsAreCountedReadFromPositionAndOutliveTheirFile) {
  void *kept = nullptr;
  {
    MemFile f(Iota(20));
    void *block = nullptr;
    EXPECT_EQ(f.LoadRegion(5, 4, &block), nullptr);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(static_cast<u8 *>(block)[0], 5);
    EXPECT_EQ(f.regionCount, 1);
    EXPECT_EQ(f.FreeRegion(block), nullptr);
    EXPECT_EQ(f.regionCount, 0);
    EXPECT_EQ(f.LoadRegion(18, 4, &block), FERR_EOF);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(f.regionCount, 0);
    ASSERT_EQ(f.LoadRegion(2, 3, &kept), nullptr);
  }
  // A region is a plain block of the pointer pool: destroying the file
  // neither frees it nor invalidates it.
  EXPECT_EQ(static_cast<u8 *>(kept)[2], 4);
  gPtrPool->Free(kept);
}

TEST(FileTest, OwnedParentIsDestroyedExactlyOnce) {
  int destroyed = 0;
  {
    CFile child(new MemFile(Iota(4), &destroyed), 1);
  }
  EXPECT_EQ(destroyed, 1);
  MemFile notOwned(Iota(4), &destroyed);
  { CFile child(&notOwned, 0); }
  EXPECT_EQ(destroyed, 1);
}
