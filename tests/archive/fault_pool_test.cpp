// The pool file system over a parent that fails on a countdown: a change (a
// file rewritten longer, a new folder and file) and the pool's Flush meet a
// failing read, write, seek, truncate or flush at every point, clean or torn.
// The failure is reported by the call that met it or at the latest by the
// next Flush, unless it did not matter (a directory that could not be kept
// in the lookup cache): a change that reports success is there whole. The
// pool still opens and every untouched file reads back its old bytes.
#include <gtest/gtest.h>

#include <memory>

#include "archive/pool_fs.h"
#include "archive/pool_image.h"
#include "support/fault_file.h"
#include "support/temp_dir.h"

namespace {

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

}  // namespace
