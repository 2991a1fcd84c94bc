// Fault injection: the LZSS file and the pool over parents that fail on a
// countdown, allocations failing in turn, and the builder's proof of a patch
// damaged on its way to the disk.
#include <gtest/gtest.h>

#include <memory>

#include "archive/archive_open.h"
#include "archive/lzss.h"
#include "archive/lzss_file.h"
#include "archive/lzss_writer.h"
#include "archive/pool_fs.h"
#include "archive/patch_builder.h"
#include "archive/pool_image.h"
#include "fs/mount_table.h"
#include "support/fault_file.h"
#include "support/temp_dir.h"

namespace {

// The LZSS file: a failure is reported; the front before the first changed block survives.
typedef std::vector<unsigned char> Bytes;
const u32 kBlock = 512;

class FaultLzssTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteWholeFile(dir / "plain.bin", plain);
    ASSERT_EQ(Compress(nullptr), nullptr);
    original = ReadWholeFile(dir / "c.lzs");
  }
  Error Compress(const LzssWriteOptions *options) {
    std::unique_ptr<CHostFile> in(OpenNativeFile(dir / "plain.bin", false, false));
    std::unique_ptr<CHostFile> out(OpenNativeFile(dir / "c.lzs", true, true));
    return LzssCompressFile(in.get(), out.get(), 0xC4, kBlock, options);
  }
  // Noise into block 2 (its length changes), bytes into block 5, a Flush: the first error.
  static Error Change(CLzssFile *f) {
    Bytes noise = PatternBytes(300, 9);
    Error e = f->WriteAt(noise.data(), 2 * kBlock + 10, 300, nullptr);
    if (!e) e = f->WriteAt("xyz", 5 * kBlock + 3, 3, nullptr);
    return e ? e : f->Flush();
  }
  CLzssFile *Open(CFaultPlan *plan) {
    CFile *host = OpenNativeFile(dir / "c.lzs", true, false);
    return new CLzssFile(plan ? new CFaultFile(host, 1, plan) : host, 1);
  }
  void ExpectFrontIntact() {
    std::unique_ptr<CLzssFile> f(Open(nullptr));
    ASSERT_TRUE(f->valid) << "the container no longer opens";
    Bytes front(2 * kBlock);
    EXPECT_EQ(f->ReadAt(front.data(), 0, 2 * kBlock, nullptr), nullptr);
    EXPECT_TRUE(std::equal(front.begin(), front.end(), plain.begin())) << "the front lost its bytes";
  }

  TempDir dir;
  Bytes plain = TextBytes(kBlock * 8 - 100, 5), original;
};

TEST_F(FaultLzssTest, EveryFailingParentOperationIsReportedAndTheFrontSurvives) {
  CFaultPlan plan;
  for (FaultOp op : {kFaultRead, kFaultWrite, kFaultSeek, kFaultTruncate}) {
    for (bool torn : {false, true}) {
      if (torn && op != kFaultWrite && op != kFaultRead) continue;
      WriteWholeFile(dir / "c.lzs", original);
      {
        std::unique_ptr<CLzssFile> f(Open(&plan));
        plan.Disarm();  // the count starts after opening
        ASSERT_EQ(Change(f.get()), nullptr);
      }
      u32 count = plan.Count(op);
      EXPECT_TRUE(count > 0 || op == kFaultTruncate) << FaultOpName(op);
      for (u32 k = 1; k <= count; k++) {
        SCOPED_TRACE(std::string(FaultOpName(op)) + (torn ? " torn " : " ") + std::to_string(k));
        WriteWholeFile(dir / "c.lzs", original);
        {
          std::unique_ptr<CLzssFile> f(Open(&plan));
          plan.Arm(op, k, FERR_DISKFULL, torn);
          EXPECT_NE(Change(f.get()), nullptr) << "a failure passed for success";
          EXPECT_TRUE(plan.Fired());
          plan.Disarm();  // the destructor's flush runs without faults
        }
        ExpectFrontIntact();
      }
    }
  }
  WriteWholeFile(dir / "c.lzs", original);
  for (u32 k = 1; k <= 8; k++) {  // a failing read alone changes nothing and can be retried
    std::unique_ptr<CLzssFile> f(Open(&plan));
    plan.Arm(kFaultRead, k, FERR_READFAIL, true);
    EXPECT_NE(ReadThrough(f.get(), nullptr), nullptr) << k;
    plan.Disarm();
    EXPECT_EQ(ReadThrough(f.get(), nullptr), nullptr) << k;
    f.reset();
    EXPECT_EQ(ReadWholeFile(dir / "c.lzs"), original) << k;
  }
}

TEST_F(FaultLzssTest, EveryFailedAllocationIsReported) {
  CFaultPlan memory;
  ScopedFaultPtrPool pool(&memory);
  LzssWriteOptions threads = {3, {nullptr, nullptr}};
  for (int kind = 0; kind < 2; kind++) {  // a change, a compression on three threads
    memory.Disarm();
    {
      std::unique_ptr<CLzssFile> f(kind ? nullptr : Open(nullptr));
      memory.Disarm();
      ASSERT_EQ(kind ? Compress(&threads) : Change(f.get()), nullptr);
    }
    u32 count = memory.Count(kFaultAlloc);
    ASSERT_GT(count, 0u);
    for (u32 k = 1; k <= count; k++) {
      SCOPED_TRACE(std::to_string(kind) + " allocation " + std::to_string(k));
      WriteWholeFile(dir / "c.lzs", original);
      if (kind) {
        memory.Arm(kFaultAlloc, k, nullptr);
        EXPECT_EQ(Compress(&threads), FERR_NOTENOUGHMEM);
      } else {
        std::unique_ptr<CLzssFile> f(Open(nullptr));
        memory.Arm(kFaultAlloc, k, nullptr);
        EXPECT_NE(Change(f.get()), nullptr);
      }
      memory.Disarm();
      if (!kind) ExpectFrontIntact();
    }
  }
}

// The pool: a failure is reported (by the next Flush at the latest) unless it did not
// matter; untouched files survive.

typedef std::vector<unsigned char> Bytes;
const u32 kCreate = FOM_READ | FOM_WRITE | FOM_CREATE | FOM_REPLACE;

Error Put(CHPFS *fs, const char *path, const Bytes &data, u32 mode = kCreate) {
  Error e = nullptr;
  std::unique_ptr<CFile> f(fs->Open(path, mode, &e));
  return f ? f->Write(data.data(), static_cast<u32>(data.size()), nullptr) : e ? e : ERR_UNKNOWN;
}

Bytes Get(CHPFS *fs, const char *path) {
  std::unique_ptr<CFile> f(fs->Open(path, FOM_READ | FOM_SHAREREAD, nullptr));
  if (!f) return Bytes{'?'};
  Bytes b(f->GetSize());
  if (!b.empty() && f->Read(b.data(), static_cast<u32>(b.size()), nullptr)) b = {'!'};
  return b;
}

TEST(FaultPoolTest, EveryFailingParentOperationIsReportedAndUntouchedFilesSurvive) {
  TempDir dir;
  Bytes keep1 = PatternBytes(150, 1), keep2 = PatternBytes(64 * 16, 2);
  Bytes grown = PatternBytes(64 * 20, 3), added = PatternBytes(200, 4);
  Error e = nullptr;
  std::unique_ptr<CHPFS> fs(CreatePoolFileSystem(OpenNativeFile(dir / "pool.wdt", true, true), 64, &e));
  ASSERT_EQ(fs->MakeDir("", "LOCAL"), nullptr);
  ASSERT_EQ(Put(fs.get(), "LOCAL\\strings3.ini", keep1), nullptr);
  ASSERT_EQ(Put(fs.get(), "LOCAL\\strings.ini", PatternBytes(100, 5)), nullptr);
  ASSERT_EQ(Put(fs.get(), "keep.bin", keep2), nullptr);
  fs.reset();
  const Bytes original = ReadWholeFile(dir / "pool.wdt");
  auto open = [&](CFaultPlan *plan) {
    CFile *host = OpenNativeFile(dir / "pool.wdt", true, false);
    return std::unique_ptr<CHPFS>(OpenPoolFileSystem(plan ? new CFaultFile(host, 1, plan) : host, &e));
  };
  // strings.ini grows a level of its tree. The first error met.
  auto change = [&](CHPFS *fs) {
    Error e = Put(fs, "LOCAL\\strings.ini", grown, FOM_READ | FOM_WRITE);
    if (!e) e = fs->MakeDir("LOCAL", "NEW");
    if (!e) e = Put(fs, "LOCAL\\NEW\\new.txt", added);
    Error f = fs->Pool()->Flush();
    return e ? e : f;
  };
  CFaultPlan plan;
  for (FaultOp op : {kFaultRead, kFaultWrite, kFaultSeek, kFaultTruncate, kFaultFlush}) {
    for (bool torn : {false, true}) {
      if (torn && op != kFaultWrite) continue;
      WriteWholeFile(dir / "pool.wdt", original);
      fs.reset();
      fs = open(&plan);
      plan.Disarm();
      ASSERT_EQ(change(fs.get()), nullptr);
      u32 count = plan.Count(op), failures = 0;
      fs.reset();
      fs = open(nullptr);
      EXPECT_EQ(Get(fs.get(), "LOCAL\\strings.ini"), grown);
      EXPECT_EQ(Get(fs.get(), "LOCAL\\NEW\\new.txt"), added);
      EXPECT_TRUE(count > 0 || (op != kFaultRead && op != kFaultWrite)) << FaultOpName(op);
      for (u32 k = 1; k <= count; k++) {
        SCOPED_TRACE(std::string(FaultOpName(op)) + (torn ? " torn " : " ") + std::to_string(k));
        fs.reset();
        WriteWholeFile(dir / "pool.wdt", original);
        fs = open(&plan);
        ASSERT_NE(fs, nullptr);
        plan.Arm(op, k, FERR_DISKFULL, torn);
        bool succeeded = change(fs.get()) == nullptr;
        EXPECT_TRUE(plan.Fired());
        plan.Disarm();
        fs.reset();
        fs = open(nullptr);
        ASSERT_NE(fs, nullptr) << "the pool file no longer opens";
        EXPECT_EQ(Get(fs.get(), "LOCAL\\strings3.ini"), keep1);
        EXPECT_EQ(Get(fs.get(), "keep.bin"), keep2);
        if (succeeded) {
          EXPECT_EQ(Get(fs.get(), "LOCAL\\strings.ini"), grown) << "a failure passed for success";
          EXPECT_EQ(Get(fs.get(), "LOCAL\\NEW\\new.txt"), added) << "a failure passed for success";
        }
        failures += !succeeded;
      }
      EXPECT_TRUE(count == 0 || failures > 0) << FaultOpName(op) << ": no failure was reported";
      fs.reset();
    }
  }
}

// One byte of one write changed on its way to the disk is caught by the
// builder's read-back, named and the patch removed; without the proof it
// goes unnoticed.
TEST(FaultBuildTest, AByteChangedOnTheWayToThePatchIsCaughtAndThePatchRemoved) {
  const u32 kChunk = 1u << 20;  // the builder copies the patch in such writes
  TempDir dir;
  CFaultPlan plan;
  MountTableInit(8);
  HostFsInit();
  RegisterService("", new CFaultFileService(UnregisterService(""), &plan));
  // No patcher: any bytes without a container header stand in for one.
  WriteWholeFile(dir / "stub", PatternBytes(40000, 1));
  WriteWholeFile(dir / "Patch.ini", std::string("[str]\ntitle = T\n"));
  MakeFolders((dir / "files").c_str());
  WriteWholeFile(dir / "files/a.txt", std::string("alpha"));
  // Noise is stored raw, so a changed byte reaches the member as it is.
  WriteWholeFile(dir / "files/big.bin", PatternBytes(100000, 2));
  PatchBuildInfo info;
  char failed[300];
  auto build = [&](bool prove) {
    PatchBuildOptions options = {2, prove, {nullptr, nullptr}};
    return BuildPatch((dir / "stub").c_str(), (dir / "Patch.ini").c_str(),
                      (dir / "files").c_str(), 0xC4, (dir / "patch").c_str(), &info, failed,
                      300, &options);
  };
  ASSERT_EQ(build(true), nullptr);
  EXPECT_EQ(info.proofFailed, 0u);
  // The patch is written last, the container's chunks after the program's;
  // the middle one holds the middle of FILES\BIG.BIN.
  u32 chunks = (info.containerSize + kChunk - 1) / kChunk;
  u32 damaged = plan.Count(kFaultWrite) - chunks + 1 + chunks / 2;
  plan.ArmCorruption(damaged);
  EXPECT_EQ(build(true), ERR_INVALIDFORMAT);
  EXPECT_TRUE(plan.Fired());
  EXPECT_EQ(info.proofFailed, 1u);
  EXPECT_STREQ(failed, "FILES\\BIG.BIN");
  EXPECT_FALSE(PathExists(dir / "patch"));
  plan.ArmCorruption(damaged);
  EXPECT_EQ(build(false), nullptr);
  EXPECT_TRUE(plan.Fired());
  EXPECT_TRUE(PathExists(dir / "patch"));
  MountTableShutdown();
}

}  // namespace
