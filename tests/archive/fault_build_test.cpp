// The builder's proof of what it wrote: a patch damaged on its way to the
// disk (one byte of one write changed by a file service that wraps the
// host's) is caught by the read-back, named and removed.
#include <gtest/gtest.h>

#include <string>

#include "archive/archive_open.h"
#include "archive/patch_builder.h"
#include "fs/mount_table.h"
#include "support/fault_file.h"
#include "support/temp_dir.h"

namespace {

const u32 kChunk = 32768;  // the builder copies the patch in such writes

u32 Chunks(u32 bytes) { return (bytes + kChunk - 1) / kChunk; }

class FaultBuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MountTableInit(8);
    HostFsInit();
    CFileService *host = UnregisterService("");
    RegisterService("", new CFaultFileService(host, &plan));
    // No patcher: any bytes without a container header stand in for one.
    WriteWholeFile(dir / "stub", PatternBytes(40000, 1));
    WriteWholeFile(dir / "Patch.ini", std::string("[str]\ntitle = T\n"));
    std::string files = dir / "files";
    MakeFolders(files.c_str());
    WriteWholeFile(files + "/a.txt", std::string("alpha"));
    // Noise is stored raw, so a changed byte reaches the member as it is.
    WriteWholeFile(files + "/big.bin", PatternBytes(100000, 2));
  }
  void TearDown() override { MountTableShutdown(); }

  Error Build(bool prove, PatchBuildInfo *info, char *failed) {
    PatchBuildOptions options = {2, prove, {nullptr, nullptr}};
    return BuildPatch((dir / "stub").c_str(), (dir / "Patch.ini").c_str(),
                      (dir / "files").c_str(), 0xC4, (dir / "patch").c_str(),
                      info, failed, 300, &options);
  }

  TempDir dir;
  CFaultPlan plan;
};

TEST_F(FaultBuildTest, AByteChangedOnTheWayToThePatchIsCaughtAndThePatchRemoved) {
  PatchBuildInfo info;
  char failed[300];
  plan.Disarm();
  ASSERT_EQ(Build(true, &info, failed), nullptr);
  EXPECT_EQ(info.proofFailed, 0u);
  EXPECT_EQ(info.padding, 0u);
  // The patch is written last: the program's chunks, then the container's.
  // The second of the container's holds the middle of FILES\BIG.BIN.
  u32 writes = plan.Count(kFaultWrite);
  u32 damaged = writes - Chunks(info.containerSize) + 2;

  plan.ArmCorruption(damaged);
  EXPECT_EQ(Build(true, &info, failed), ERR_INVALIDFORMAT);
  EXPECT_TRUE(plan.Fired());
  EXPECT_EQ(info.proofFailed, 1u);
  EXPECT_STREQ(failed, "FILES\\BIG.BIN");
  EXPECT_FALSE(PathExists(dir / "patch"));

  // Without the proof the same damage goes unnoticed.
  plan.ArmCorruption(damaged);
  EXPECT_EQ(Build(false, &info, failed), nullptr);
  EXPECT_TRUE(plan.Fired());
  EXPECT_TRUE(PathExists(dir / "patch"));
}

}  // namespace
