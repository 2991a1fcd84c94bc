#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "core/ptr_pool.h"
#include "fs/file.h"
#include "fs/file_window.h"
#include "support/temp_dir.h"

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
    u32 n = pos >= data.size() ? 0 : std::min(size, static_cast<u32>(data.size()) - pos);
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

static std::vector<u8> Iota(int n, int from = 0) {
  std::vector<u8> v(n);
  for (int i = 0; i < n; i++) v[i] = static_cast<u8>(from + i);
  return v;
}

static std::vector<u8> Cat(std::vector<u8> a, const std::vector<u8> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(FileTest, MoveDataCopiesInChunksFromTheSafeEnd) {
  struct Case {
    u32 to, from, length, chunk;
    std::vector<u32> reads;
    std::vector<u8> after;
  } cases[] = {
      // Backwards: the file grows, read in reverse chunks.
      {10, 0, 0x7FFFFFFF, 4, {16, 12, 8, 4, 0}, Cat(Iota(10), Iota(20))},
      {0, 10, 0x7FFFFFFF, 4, {10, 14, 18}, Cat(Iota(10, 10), Iota(10, 10))},
      {0, 21, 5, 4, {}, Iota(20)},  // from beyond the end: nothing
      {1, 0, 8, 3, {5, 2, 0}, Cat({0}, Cat(Iota(8), Iota(11, 9)))},
  };
  for (const Case &c : cases) {
    MemFile f(Iota(20));
    u8 bounce[3];  // the caller's buffer, as big as a chunk
    EXPECT_EQ(f.MoveData(c.to, c.from, c.length, c.chunk, c.chunk == 3 ? bounce : nullptr), nullptr);
    EXPECT_EQ(f.reads, c.reads) << c.to << " " << c.from;
    EXPECT_EQ(f.data, c.after) << c.to << " " << c.from;
  }
}

TEST(FileTest, RegionsAreCountedAndOutliveTheirFileAndOwnedParentsGoWithIt) {
  void *kept = nullptr;
  int destroyed = 0;
  {
    MemFile f(Iota(20), &destroyed);
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
    { CFile child(&f, 0); }
    EXPECT_EQ(destroyed, 0);
  }
  // A region is a plain block of the pointer pool: destroying the file
  // neither frees it nor invalidates it.
  EXPECT_EQ(static_cast<u8 *>(kept)[2], 4);
  gPtrPool->Free(kept);
  { CFile child(new MemFile(Iota(4), &destroyed), 1); }
  EXPECT_EQ(destroyed, 2);
}

class HostFileTest : public ::testing::Test {
 protected:
  std::unique_ptr<CHostFile> Open(const std::vector<u8> &contents, bool write = true) {
    WriteWholeFile(dir / "f.bin", contents);
    return std::unique_ptr<CHostFile>(OpenNativeFile(dir / "f.bin", write, false));
  }
  TempDir dir;
  std::vector<u8> bytes = PatternBytes(200, 9);
};

TEST_F(HostFileTest, ReadsSeeksWritesAndTruncation) {
  auto f = Open(Iota(20));
  ASSERT_TRUE(f);
  EXPECT_EQ(f->valid, 1u);
  u8 buf[32];
  u32 n = 0;
  EXPECT_EQ(f->Read(buf, 32, &n), FERR_EOF);  // short: EOF with the count
  EXPECT_EQ(n, 20u);
  f->Seek(0, 0);
  EXPECT_EQ(f->Read(buf, 20, &n), nullptr);
  f->Seek(0, 0);
  EXPECT_EQ(f->Read(buf, 20, nullptr), nullptr);  // the private count decides
  EXPECT_EQ(f->Read(buf, 1, nullptr), FERR_EOF);
  EXPECT_EQ(f->Seek(-4, 2), nullptr);
  EXPECT_EQ(f->Tell(), 16u);
  EXPECT_EQ(f->Seek(10, 1), nullptr);
  EXPECT_EQ(f->Tell(), 26u);
  EXPECT_EQ(f->Seek(-1, 0), FERR_SEEKFAIL);
  EXPECT_EQ(f->MoveData(10, 0, 0x7FFFFFFF, 4, nullptr), nullptr);
  EXPECT_EQ(f->GetSize(), 30u);
  EXPECT_EQ(f->WriteAt("abcd", 28, 4, nullptr), nullptr);
  EXPECT_EQ(f->Seek(14, 0), nullptr);
  EXPECT_EQ(f->Truncate(), nullptr);
  EXPECT_EQ(f->Seek(16, 0), nullptr);
  EXPECT_EQ(f->Truncate(), nullptr);  // past the end it lengthens the file
  EXPECT_EQ(f->Flush(), nullptr);
  uintptr_t h = 0;
  EXPECT_EQ(f->GetProperty(PID_HOSTHANDLE, &h, 0), nullptr);
  EXPECT_EQ(h, f->NativeHandle());
  EXPECT_EQ(f->GetProperty(0x1234, &h, 0), FERR_UNKNOWNPID);
  f.reset();
  EXPECT_EQ(ReadWholeFile(dir / "f.bin"), Cat(Cat(Iota(10), Iota(4)), {0, 0}));

  f = Open(Iota(4), false);  // a read-only handle refuses changes
  EXPECT_NE(f->Write("x", 1, nullptr), nullptr);
  EXPECT_NE(f->Truncate(), nullptr);
}

TEST_F(HostFileTest, WindowTranslatesPositionsIntoItsParent) {
  WriteWholeFile(dir / "p.bin", bytes);
  std::unique_ptr<CHostFile> parent(OpenNativeFile(dir / "p.bin", true, false));
  ASSERT_TRUE(parent);
  CFileWindow rest(parent.get(), 150, 0xFFFFFFFFu, 0);  // the rest of the parent
  EXPECT_EQ(rest.GetSize(), 50u);
  EXPECT_EQ(rest.Tell(), 0u);
  EXPECT_EQ(rest.valid, 0u);
  CFileWindow w(parent.get(), 30, 70, 0);
  u8 buf[20];
  EXPECT_EQ(w.Seek(10, 2), nullptr);  // from the end counts backwards
  EXPECT_EQ(parent->Tell(), 90u);
  EXPECT_EQ(w.Tell(), 60u);
  EXPECT_EQ(w.Seek(5, 1), nullptr);
  EXPECT_EQ(w.Seek(1, 3), nullptr);
  EXPECT_EQ(w.Tell(), 65u);
  EXPECT_EQ(w.Read(buf, 3, nullptr), nullptr);
  EXPECT_EQ(0, memcmp(buf, &bytes[95], 3));
  EXPECT_EQ(w.Write("xyz", 3, nullptr), nullptr);
  EXPECT_EQ(w.WriteAt("Q", 0, 1, nullptr), nullptr);
  parent->ReadAt(buf, 98, 3, nullptr);
  EXPECT_EQ(0, memcmp(buf, "xyz", 3));
  parent->ReadAt(buf, 30, 1, nullptr);
  EXPECT_EQ(buf[0], 'Q');
  EXPECT_EQ(w.ReadAt(buf, 75, 8, nullptr), nullptr);  // past the window
  EXPECT_EQ(0, memcmp(buf, &bytes[105], 8));
  EXPECT_EQ(w.MoveData(0, 10, 20, 7, nullptr), nullptr);
  EXPECT_EQ(w.ReadAt(buf, 0, 20, nullptr), nullptr);
  EXPECT_EQ(0, memcmp(buf, &bytes[40], 20));
  uintptr_t h;
  EXPECT_EQ(w.GetProperty(PID_HOSTHANDLE, &h, 0), FERR_UNKNOWNPID);
  delete new CFileWindow(parent.release(), 100, 0xFFFFFFFFu, 1);  // closes its parent

  // Without a parent everything is refused.
  CFileWindow none(nullptr, 0, 0xFFFFFFFFu, 0);
  EXPECT_EQ(none.GetClassName(), CFile::sClassName);
  EXPECT_EQ(none.GetSize(), 0u);
  EXPECT_EQ(none.Tell(), 0u);
  for (Error e : {none.Read(buf, 1, nullptr), none.ReadAt(buf, 0, 1, nullptr),
                  none.Write(buf, 1, nullptr), none.WriteAt(buf, 0, 1, nullptr),
                  none.Seek(0, 0), none.MoveData(0, 1, 1, 1, nullptr)})
    EXPECT_EQ(e, ERR_WHATAMESS);
}
