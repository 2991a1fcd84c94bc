// The LZSS file over a parent that fails on a countdown: every read, write,
// seek, truncate and flush of a change and its Flush is made to fail once,
// clean or torn, and the container is then opened again from the real file
// without faults.
//
// What holds, and is checked here:
// - a failure is reported: the Write or Flush that met it returns an error
//   (and a read that meets one returns an error and leaves the parent
//   untouched);
// - the container still opens and every block in front of the first block
//   that was changed decodes to its old bytes;
// - a failure of a read only (no change pending) leaves the file exactly as
//   it was.
// Blocks behind a changed block can be lost: a stored block that grows or
// shrinks moves everything behind it in place, and the table is rewritten
// only once that is done, so a failure in between leaves the table pointing
// at moved bytes. The format has no room for a second copy.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "archive/archive_open.h"
#include "archive/lzss.h"
#include "archive/lzss_encoder.h"
#include "archive/lzss_file.h"
#include "archive/lzss_writer.h"
#include "support/fault_file.h"
#include "support/temp_dir.h"

namespace {

typedef std::vector<unsigned char> Bytes;

const u32 kBlock = 512;
const u32 kBlocks = 8;

// Text-like bytes, so that blocks compress and a change alters their length.
Bytes Compressible(size_t n, unsigned seed) {
  Bytes v(n);
  unsigned s = seed;
  for (size_t i = 0; i < n; i++) {
    s = s * 1103515245u + 12345u;
    v[i] = static_cast<unsigned char>("abcdefgh"[(s >> 16) % ((i / 700) % 7 + 2)]);
  }
  return v;
}

class FaultLzssTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plain = Compressible(kBlock * kBlocks - 100, 5);
    std::string plainPath = dir / "plain.bin";
    WriteWholeFile(plainPath, plain);
    std::unique_ptr<CHostFile> in(OpenNativeFile(plainPath, false, false));
    std::unique_ptr<CHostFile> out(OpenNativeFile(dir / "c.lzs", true, true));
    ASSERT_EQ(LzssCompressFile(in.get(), out.get(), 0xC4, kBlock), nullptr);
    out.reset();
    original = ReadWholeFile(dir / "c.lzs");
  }

  // The change: bytes in block 2 (which then compresses differently) and in
  // block 5, then a Flush. Returns the first error met.
  Error Change(CLzssFile *f) {
    Bytes noise = PatternBytes(300, 9);
    Error e = f->Seek(2 * kBlock + 10, SEEK_FROM_START);
    if (!e) e = f->Write(noise.data(), static_cast<u32>(noise.size()), nullptr);
    if (!e) e = f->Seek(5 * kBlock + 3, SEEK_FROM_START);
    if (!e) e = f->Write("xyz", 3, nullptr);
    if (!e) e = f->Flush();
    return e;
  }

  Bytes Changed() const {
    Bytes v = plain;
    Bytes noise = PatternBytes(300, 9);
    std::copy(noise.begin(), noise.end(), v.begin() + 2 * kBlock + 10);
    std::copy_n("xyz", 3, v.begin() + 5 * kBlock + 3);
    return v;
  }

  CLzssFile *Open(CFaultPlan *plan) {
    CFile *host = OpenNativeFile(dir / "c.lzs", true, false);
    return new CLzssFile(plan ? new CFaultFile(host, 1, plan) : host, 1);
  }

  // The container on disk, opened without faults, read whole.
  bool Reopen(Bytes *contents) {
    std::unique_ptr<CLzssFile> f(Open(nullptr));
    if (!f->valid) return false;
    contents->assign(f->GetSize(), 0);
    u32 got = 0;
    return f->ReadAt(contents->data(), 0, f->GetSize(), &got) == nullptr &&
           got == f->GetSize();
  }

  TempDir dir;
  Bytes plain, original;
};

TEST_F(FaultLzssTest, TheChangeWithoutFaultsReadsBack) {
  std::unique_ptr<CLzssFile> f(Open(nullptr));
  ASSERT_EQ(Change(f.get()), nullptr);
  f.reset();
  Bytes contents;
  ASSERT_TRUE(Reopen(&contents));
  EXPECT_EQ(contents, Changed());
}

TEST_F(FaultLzssTest, EveryFailingParentOperationIsReportedAndTheFrontSurvives) {
  CFaultPlan plan;
  for (FaultOp op : {kFaultRead, kFaultWrite, kFaultSeek, kFaultTruncate}) {
    for (bool torn : {false, true}) {
      if (torn && op != kFaultWrite && op != kFaultRead) continue;
      WriteWholeFile(dir / "c.lzs", original);
      plan.Disarm();
      {
        std::unique_ptr<CLzssFile> f(Open(&plan));
        plan.Disarm();  // the count starts after opening
        ASSERT_EQ(Change(f.get()), nullptr);
      }
      u32 count = plan.Count(op);
      if (op != kFaultTruncate) {
        EXPECT_GT(count, 0u) << FaultOpName(op);
      }
      for (u32 k = 1; k <= count; k++) {
        SCOPED_TRACE(std::string(FaultOpName(op)) + (torn ? " torn " : " ") +
                     std::to_string(k));
        WriteWholeFile(dir / "c.lzs", original);
        {
          std::unique_ptr<CLzssFile> f(Open(&plan));
          ASSERT_TRUE(f->valid);
          plan.Arm(op, k, FERR_DISKFULL, torn);
          EXPECT_NE(Change(f.get()), nullptr) << "a failure passed for success";
          EXPECT_TRUE(plan.Fired());
          plan.Disarm();  // the destructor's flush runs without faults
        }
        std::unique_ptr<CLzssFile> again(Open(nullptr));
        ASSERT_TRUE(again->valid) << "the container no longer opens";
        Bytes front(2 * kBlock);
        EXPECT_EQ(again->ReadAt(front.data(), 0, 2 * kBlock, nullptr), nullptr);
        EXPECT_TRUE(std::equal(front.begin(), front.end(), plain.begin()))
            << "a block in front of the change lost its bytes";
      }
    }
  }
}

TEST_F(FaultLzssTest, AFailingReadLeavesTheFileAsItWasAndCanBeRetried) {
  CFaultPlan plan;
  for (u32 k = 1; k <= kBlocks; k++) {
    SCOPED_TRACE(k);
    std::unique_ptr<CLzssFile> f(Open(&plan));
    plan.Arm(kFaultRead, k, FERR_READFAIL, true);
    u32 failedAt = 0;
    EXPECT_NE(ReadThrough(f.get(), &failedAt), nullptr);
    plan.Disarm();
    Bytes contents;
    EXPECT_EQ(ReadThrough(f.get(), nullptr), nullptr) << "a retry fails";
    f.reset();
    EXPECT_EQ(ReadWholeFile(dir / "c.lzs"), original);
  }
}

TEST_F(FaultLzssTest, AFailedAllocationIsReportedAndTheContainerStillOpens) {
  CFaultPlan memory;
  u32 count;
  {
    ScopedFaultPtrPool pool(&memory);
    std::unique_ptr<CLzssFile> f(Open(nullptr));
    memory.Disarm();
    ASSERT_EQ(Change(f.get()), nullptr);
    count = memory.Count(kFaultAlloc);
  }
  ASSERT_GT(count, 0u);
  for (u32 k = 1; k <= count; k++) {
    SCOPED_TRACE(k);
    WriteWholeFile(dir / "c.lzs", original);
    {
      ScopedFaultPtrPool pool(&memory);
      std::unique_ptr<CLzssFile> f(Open(nullptr));
      memory.Arm(kFaultAlloc, k, nullptr);
      EXPECT_NE(Change(f.get()), nullptr);
      memory.Disarm();
    }
    Bytes contents;
    EXPECT_TRUE(Reopen(&contents));
  }
}

// The threads that code blocks must not touch the pools: once reserved, an
// encoder allocates nothing, and gives what LzssEncode gives.
TEST(FaultLzssEncoderTest, AReservedEncoderAllocatesNothing) {
  Bytes block = Compressible(32768, 7);
  Bytes a(32768), b(32768);
  for (u8 code : {0xA1, 0xC4, 0xC5}) {
    CFaultPlan memory;
    ScopedFaultPtrPool pool(&memory);
    CLzssEncoder encoder;
    ASSERT_EQ(encoder.Reserve(code, 32768), nullptr);
    for (u32 n : {32768u, 1000u, 1u, 40u}) {
      u32 la = 32768, lb = 32768;
      memory.Disarm();
      ASSERT_EQ(encoder.Encode(block.data(), n, a.data(), &la, code, nullptr),
                nullptr);
      EXPECT_EQ(memory.Count(kFaultAlloc), 0u) << "code " << int(code);
      ASSERT_EQ(LzssEncode(block.data(), n, b.data(), &lb, code, nullptr),
                nullptr);
      EXPECT_EQ(Bytes(a.begin(), a.begin() + la), Bytes(b.begin(), b.begin() + lb));
    }
  }
}

// Every allocation of a compression on several threads fails in turn: the
// failure is reported, and nothing leaks or hangs.
TEST_F(FaultLzssTest, EveryFailedAllocationOfAThreadedCompressionIsReported) {
  std::string plainPath = dir / "plain.bin";
  CFaultPlan memory;
  u32 count;
  LzssWriteOptions options = {3, {nullptr, nullptr}};
  {
    ScopedFaultPtrPool pool(&memory);
    std::unique_ptr<CHostFile> in(OpenNativeFile(plainPath, false, false));
    std::unique_ptr<CHostFile> out(OpenNativeFile(dir / "t.lzs", true, true));
    memory.Disarm();
    ASSERT_EQ(LzssCompressFile(in.get(), out.get(), 0xC4, kBlock, &options),
              nullptr);
    count = memory.Count(kFaultAlloc);
  }
  EXPECT_EQ(ReadWholeFile(dir / "t.lzs"), original);
  ASSERT_GT(count, 0u);
  for (u32 k = 1; k <= count; k++) {
    SCOPED_TRACE(k);
    ScopedFaultPtrPool pool(&memory);
    std::unique_ptr<CHostFile> in(OpenNativeFile(plainPath, false, false));
    std::unique_ptr<CHostFile> out(OpenNativeFile(dir / "t.lzs", true, true));
    memory.Arm(kFaultAlloc, k, nullptr);
    EXPECT_EQ(LzssCompressFile(in.get(), out.get(), 0xC4, kBlock, &options),
              FERR_NOTENOUGHMEM);
    memory.Disarm();
  }
}

}  // namespace
