// The pool file system over a parent that fails on a countdown: a change
// (a file rewritten longer, a new file, a new folder) and the pool's Flush
// meet a failing read, write, seek, truncate or flush at every point, clean
// or torn, and the pool file is then opened again without faults.
//
// What holds, and is checked here:
// - a failure is reported by the write, open, folder creation or Flush that
//   met it, at the latest by the next Flush (write-backs of cached blocks
//   that failed are kept and reported there), unless it did not matter (a
//   directory that could not be kept in the lookup cache): a change that
//   reports success is there whole when the file is opened again;
// - the pool file still attaches and its file system opens, and every file
//   that the change did not touch reads back its old bytes.
// The touched files may hold their old or their new bytes, or be cut short:
// file data goes to its blocks at once while sizes and indexes reach the
// file at the Flush.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "archive/pool_file.h"
#include "archive/pool_fs.h"
#include "archive/pool_image.h"
#include "support/fault_file.h"
#include "support/temp_dir.h"

namespace {

typedef std::vector<unsigned char> Bytes;

Error Put(CHPFS *fs, const char *path, const Bytes &data, u32 mode) {
  Error e = nullptr;
  CFile *f = fs->Open(path, mode, &e);
  if (!f) return e ? e : ERR_UNKNOWN;
  e = f->Write(data.data(), static_cast<u32>(data.size()), nullptr);
  delete f;
  return e;
}

Bytes Get(CHPFS *fs, const char *path) {
  Error e = nullptr;
  CFile *f = fs->Open(path, FOM_READ | FOM_SHAREREAD, &e);
  if (!f) return Bytes{'?'};
  Bytes b(f->GetSize());
  u32 got = 0;
  if (!b.empty() && f->Read(b.data(), static_cast<u32>(b.size()), &got) != nullptr) b = {'!'};
  delete f;
  return b;
}

const u32 kCreate = FOM_READ | FOM_WRITE | FOM_CREATE | FOM_REPLACE;

class FaultPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Error e = nullptr;
    CHPFS *fs = CreatePoolFileSystem(OpenNativeFile(dir / "pool.wdt", true, true), 64, &e);
    ASSERT_NE(fs, nullptr);
    ASSERT_EQ(fs->MakeDir("", "LOCAL"), nullptr);
    ASSERT_EQ(Put(fs, "LOCAL\\strings3.ini", keep1, kCreate), nullptr);
    ASSERT_EQ(Put(fs, "LOCAL\\strings.ini", changed, kCreate), nullptr);
    ASSERT_EQ(Put(fs, "keep.bin", keep2, kCreate), nullptr);
    delete fs;
    original = ReadWholeFile(dir / "pool.wdt");
  }

  // Rewrites LOCAL\strings.ini longer (its tree grows a level), adds a
  // folder and a file, and flushes. The first error met.
  Error Change(CHPFS *fs) {
    Error e = Put(fs, "LOCAL\\strings.ini", PatternBytes(64 * 20, 3), FOM_READ | FOM_WRITE);
    if (!e) e = fs->MakeDir("LOCAL", "NEW");
    if (!e) e = Put(fs, "LOCAL\\NEW\\new.txt", PatternBytes(200, 4), kCreate);
    Error f = fs->Pool()->Flush();
    return e ? e : f;
  }

  CHPFS *Open(CFaultPlan *plan) {
    CFile *host = OpenNativeFile(dir / "pool.wdt", true, false);
    Error e = nullptr;
    return OpenPoolFileSystem(plan ? new CFaultFile(host, 1, plan) : host, &e);
  }

  TempDir dir;
  Bytes keep1 = PatternBytes(150, 1), keep2 = PatternBytes(64 * 16, 2);
  Bytes changed = PatternBytes(100, 5);
  Bytes original;
};

TEST_F(FaultPoolTest, EveryFailingParentOperationIsReportedAndUntouchedFilesSurvive) {
  CFaultPlan plan;
  for (FaultOp op : {kFaultRead, kFaultWrite, kFaultSeek, kFaultTruncate, kFaultFlush}) {
    for (bool torn : {false, true}) {
      if (torn && op != kFaultWrite) continue;
      WriteWholeFile(dir / "pool.wdt", original);
      u32 count;
      {
        std::unique_ptr<CHPFS> fs(Open(&plan));
        plan.Disarm();
        ASSERT_EQ(Change(fs.get()), nullptr);
        count = plan.Count(op);
      }
      std::unique_ptr<CHPFS> clean(Open(nullptr));
      EXPECT_EQ(Get(clean.get(), "LOCAL\\strings.ini"), PatternBytes(64 * 20, 3));
      EXPECT_EQ(Get(clean.get(), "LOCAL\\NEW\\new.txt"), PatternBytes(200, 4));
      clean.reset();
      if (op == kFaultRead || op == kFaultWrite) {
        EXPECT_GT(count, 0u) << FaultOpName(op);
      }
      u32 failures = 0;
      for (u32 k = 1; k <= count; k++) {
        SCOPED_TRACE(std::string(FaultOpName(op)) + (torn ? " torn " : " ") +
                     std::to_string(k));
        WriteWholeFile(dir / "pool.wdt", original);
        bool succeeded;
        {
          std::unique_ptr<CHPFS> fs(Open(&plan));
          ASSERT_NE(fs, nullptr);
          plan.Arm(op, k, FERR_DISKFULL, torn);
          succeeded = Change(fs.get()) == nullptr;
          EXPECT_TRUE(plan.Fired());
          plan.Disarm();
        }
        std::unique_ptr<CHPFS> again(Open(nullptr));
        ASSERT_NE(again, nullptr) << "the pool file no longer opens";
        EXPECT_EQ(Get(again.get(), "LOCAL\\strings3.ini"), keep1);
        EXPECT_EQ(Get(again.get(), "keep.bin"), keep2);
        // A failure that did not matter (a lookup cache that could not be
        // filled) may pass; then the change must be there whole.
        if (succeeded) {
          EXPECT_EQ(Get(again.get(), "LOCAL\\strings.ini"), PatternBytes(64 * 20, 3))
              << "a failure passed for success";
          EXPECT_EQ(Get(again.get(), "LOCAL\\NEW\\new.txt"), PatternBytes(200, 4))
              << "a failure passed for success";
        } else {
          failures++;
        }
      }
      if (count) {
        EXPECT_GT(failures, 0u) << FaultOpName(op) << ": no failure was reported";
      }
    }
  }
}

}  // namespace
