#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "core/ptr_pool.h"
#include "fs/file.h"
#include "fs/file_window.h"
#include "support/temp_dir.h"

namespace {

std::vector<u8> Iota(int n, int from = 0) {
  std::vector<u8> v(n);
  for (int i = 0; i < n; i++) v[i] = static_cast<u8>(from + i);
  return v;
}
std::vector<u8> Cat(std::vector<u8> a, const std::vector<u8> &b) { return a.insert(a.end(), b.begin(), b.end()), a; }

class HostFileTest : public ::testing::Test {
 protected:
  std::unique_ptr<CHostFile> Open(const std::vector<u8> &contents, bool write = true) {
    WriteWholeFile(dir / "f.bin", contents);
    return std::unique_ptr<CHostFile>(OpenNativeFile(dir / "f.bin", write, false));
  }
  TempDir dir;
};

}  // namespace

// The base class's moves, in chunks from the end that is safe to overwrite.
TEST_F(HostFileTest, MoveDataCopiesOverlappingRangesWhole) {
  struct Case {
    u32 to, from, length, chunk;
    std::vector<u8> after;
  } cases[] = {
      {10, 0, 0x7FFFFFFF, 4, Cat(Iota(10), Iota(20))},  // backwards: the file grows
      {0, 10, 0x7FFFFFFF, 4, Cat(Iota(10, 10), Iota(10, 10))},
      {0, 21, 5, 4, Iota(20)},  // from beyond the end: nothing
      {1, 0, 8, 3, Cat({0}, Cat(Iota(8), Iota(11, 9)))},
  };
  for (const Case &c : cases) {
    u8 bounce[3];  // the caller's buffer, as big as a chunk
    EXPECT_EQ(Open(Iota(20))->MoveData(c.to, c.from, c.length, c.chunk, c.chunk == 3 ? bounce : nullptr), nullptr);
    EXPECT_EQ(ReadWholeFile(dir / "f.bin"), c.after) << c.to << " " << c.from;
  }
}

TEST_F(HostFileTest, RegionsAreCountedAndOutliveTheirFileAndOwnedParentsGoWithIt) {
  void *kept = nullptr, *block = nullptr;
  {
    auto f = Open(Iota(20));
    EXPECT_EQ(f->LoadRegion(5, 4, &block), nullptr);
    EXPECT_EQ(static_cast<u8 *>(block)[0], 5);
    EXPECT_EQ(f->regionCount, 1);
    EXPECT_EQ(f->FreeRegion(block), nullptr);
    EXPECT_EQ(f->LoadRegion(18, 4, &block), FERR_EOF);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(f->regionCount, 0);
    ASSERT_EQ(f->LoadRegion(2, 3, &kept), nullptr);
  }
  // A region is a plain block of the pointer pool: destroying the file
  // neither frees it nor invalidates it.
  EXPECT_EQ(static_cast<u8 *>(kept)[2], 4);
  gPtrPool->Free(kept);
  struct Counted : CFile {
    int *n;
    explicit Counted(int *count) : CFile(nullptr, 0), n(count) {}
    ~Counted() override { ++*n; }
  };
  int destroyed = 0;
  Counted notOwned(&destroyed);
  { CFile child(&notOwned, 0), owner(new Counted(&destroyed), 1); }
  EXPECT_EQ(destroyed, 1);
}

TEST_F(HostFileTest, ReadsSeeksWritesAndTruncation) {
  auto f = Open(Iota(20));
  ASSERT_TRUE(f);
  EXPECT_EQ(f->valid, 1u);
  u8 buf[32];
  u32 n = 0;
  EXPECT_EQ(f->Read(buf, 32, &n), FERR_EOF);  // short: EOF with the count
  EXPECT_EQ(n, 20u);
  f->Seek(0, 0);
  EXPECT_EQ(f->Read(buf, 20, nullptr), nullptr);  // the private count decides
  EXPECT_EQ(f->Read(buf, 1, nullptr), FERR_EOF);
  EXPECT_EQ(f->Seek(-4, 2), nullptr);
  EXPECT_EQ(f->Tell(), 16u);
  EXPECT_EQ(f->Seek(10, 1), nullptr);
  EXPECT_EQ(f->Tell(), 26u);
  EXPECT_EQ(f->Seek(-1, 0), FERR_SEEKFAIL);
  EXPECT_EQ(f->WriteAt("abcd", 18, 4, nullptr), nullptr);
  EXPECT_EQ(f->GetSize(), 22u);
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
  EXPECT_EQ(ReadWholeFile(dir / "f.bin"), Cat(Iota(14), {0, 0}));
  f = Open(Iota(4), false);  // a read-only handle refuses changes
  EXPECT_NE(f->Write("x", 1, nullptr), nullptr);
  EXPECT_NE(f->Truncate(), nullptr);
}

TEST_F(HostFileTest, WindowTranslatesPositionsIntoItsParent) {
  std::vector<u8> bytes = PatternBytes(200, 9);
  std::unique_ptr<CHostFile> parent = Open(bytes);
  CFileWindow rest(parent.get(), 150, 0xFFFFFFFFu, 0);  // the rest of the parent
  EXPECT_EQ(rest.GetSize() + rest.Tell() + rest.valid, 50u);
  CFileWindow w(parent.get(), 30, 70, 0);
  u8 buf[20];
  EXPECT_EQ(w.Seek(10, 2), nullptr);  // from the end counts backwards
  EXPECT_EQ(parent->Tell(), 90u);
  EXPECT_EQ(w.Seek(5, 1), nullptr);
  EXPECT_EQ(w.Seek(1, 3), nullptr);
  EXPECT_EQ(w.Tell(), 65u);
  EXPECT_EQ(w.Read(buf, 3, nullptr), nullptr);
  EXPECT_EQ(0, memcmp(buf, &bytes[95], 3));
  EXPECT_EQ(w.Write("xyz", 3, nullptr), nullptr);
  EXPECT_EQ(w.WriteAt("Q", 0, 1, nullptr), nullptr);
  EXPECT_EQ(w.ReadAt(buf, 75, 8, nullptr), nullptr);  // past the window
  EXPECT_EQ(0, memcmp(buf, &bytes[105], 8));
  parent->ReadAt(buf, 98, 3, nullptr);
  parent->ReadAt(buf + 3, 30, 1, nullptr);
  EXPECT_EQ(0, memcmp(buf, "xyzQ", 4));
  EXPECT_EQ(w.MoveData(0, 10, 20, 7, nullptr), nullptr);
  EXPECT_EQ(w.ReadAt(buf, 0, 20, nullptr), nullptr);
  EXPECT_EQ(0, memcmp(buf, &bytes[40], 20));
  uintptr_t h;
  EXPECT_EQ(w.GetProperty(PID_HOSTHANDLE, &h, 0), FERR_UNKNOWNPID);
  delete new CFileWindow(parent.release(), 100, 0xFFFFFFFFu, 1);  // closes its parent
  // Without a parent everything is refused.
  CFileWindow none(nullptr, 0, 0xFFFFFFFFu, 0);
  EXPECT_EQ(none.GetClassName(), CFile::sClassName);
  EXPECT_EQ(none.GetSize() + none.Tell(), 0u);
  for (Error e : {none.Read(buf, 1, nullptr), none.ReadAt(buf, 0, 1, nullptr), none.Write(buf, 1, nullptr),
                  none.WriteAt(buf, 0, 1, nullptr), none.Seek(0, 0), none.MoveData(0, 1, 1, 1, nullptr)})
    EXPECT_EQ(e, ERR_WHATAMESS);
}
