// The builder's proof of what it wrote: a patch damaged on its way to the
// disk (one byte of one write changed by a file service that wraps the
// host's) is caught by the read-back, named and removed.
#include <gtest/gtest.h>

#include "archive/archive_open.h"
#include "archive/patch_builder.h"
#include "fs/mount_table.h"
#include "support/fault_file.h"
#include "support/temp_dir.h"

TEST(FaultBuildTest, AByteChangedOnTheWayToThePatchIsCaughtAndThePatchRemoved) {
  TempDir dir;
  CFaultPlan plan;
  MountTableInit(8);
  HostFsInit();
  RegisterService("", new CFaultFileService(UnregisterService(""), &plan));
  WriteWholeFile(dir / "stub", PatternBytes(40000, 1));  // any bytes without a container header
  WriteWholeFile(dir / "Patch.ini", std::string("[str]\ntitle = T\n"));
  MakeFolders((dir / "files").c_str());
  WriteWholeFile(dir / "files/a.txt", std::string("alpha"));
  WriteWholeFile(dir / "files/big.bin", PatternBytes(100000, 2));  // noise is stored raw
  PatchBuildInfo info;
  char failed[300];
  auto build = [&](bool prove) {
    PatchBuildOptions options = {2, prove, {nullptr, nullptr}};
    return BuildPatch((dir / "stub").c_str(), (dir / "Patch.ini").c_str(), (dir / "files").c_str(), 0xC4,
                      (dir / "patch").c_str(), &info, failed, 300, &options);
  };
  plan.Disarm();
  ASSERT_EQ(build(true), nullptr);
  EXPECT_EQ(info.proofFailed, 0u);
  EXPECT_EQ(info.padding, 0u);
  // The patch is written last in writes of 32,768 bytes: the program's, then
  // the container's, whose second holds the middle of FILES\BIG.BIN.
  u32 damaged = plan.Count(kFaultWrite) - (info.containerSize + 32767) / 32768 + 2;
  plan.ArmCorruption(damaged);
  EXPECT_EQ(build(true), ERR_INVALIDFORMAT);
  EXPECT_TRUE(plan.Fired());
  EXPECT_EQ(info.proofFailed, 1u);
  EXPECT_STREQ(failed, "FILES\\BIG.BIN");
  EXPECT_FALSE(PathExists(dir / "patch"));
  plan.ArmCorruption(damaged);  // without the proof the same damage goes unnoticed
  EXPECT_EQ(build(false), nullptr);
  EXPECT_TRUE(plan.Fired());
  EXPECT_TRUE(PathExists(dir / "patch"));
  MountTableShutdown();
}
