// Extraction of packs whose member names would land outside the target
// folder, written by the pack writer where it accepts them and byte by byte
// where it does not: nothing may appear outside the target folder, through
// ExtractArchive in-process and through the real `patchkit extract`.
#include <gtest/gtest.h>

#include "archive/archive_open.h"
#include "archive/pack_writer.h"
#include "fs/mount_table.h"
#include "support/process.h"
#include "support/raw_pack.h"
#include "support/temp_dir.h"

namespace {

class ExtractNamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MountTableInit(8);
    HostFsInit();
    MakeFolders((dir / "a/b").c_str());
    RawMembers members = {{"GOOD.TXT", "good"}, {"SUB\\FINE.TXT", "fine"}};
    for (auto &n : HostileNames()) members.push_back({n, n});
    std::vector<u8> pack = RawPack(members);
    WriteWholeFile(dir / "hostile.pak", std::vector<unsigned char>(pack.begin(), pack.end()));
  }
  void TearDown() override { MountTableShutdown(); }

  // Extracts the pack at `path` into a/b/out in-process: the failures, and
  // nothing written outside it.
  u32 Extract(const std::string &path) {
    std::set<std::string> before = PathsOutside(dir.path(), "a/b/out");
    Error e = nullptr;
    CFileService *archive = OpenArchive(FsOpen(path.c_str(), FOM_READ, &e), true, &e);
    EXPECT_NE(archive, nullptr) << ErrorText(e);
    if (!archive) return 0;
    FsMakeDir("", (dir / "a/b/out").c_str());
    u32 failures = ExtractArchive(archive, (dir / "a/b/out").c_str(), nullptr, nullptr);
    delete archive;
    EXPECT_EQ(before, PathsOutside(dir.path(), "a/b/out")) << "written outside the target folder";
    return failures;
  }

  TempDir dir;
};

TEST_F(ExtractNamesTest, HostileNamesStayInside) {
  // The names the writer accepts (all but a leading or trailing '\'); the
  // others are written by hand for patchkit below.
  WriteWholeFile(dir / "src.bin", "x");
  CPackWriter writer;
  std::vector<std::unique_ptr<CFile>> sources;
  for (auto &n : HostileNames()) {
    if (n[0] == '\\' || n.back() == '\\') continue;
    sources.emplace_back(OpenNativeFile(dir / "src.bin", false, false));
    ASSERT_EQ(writer.AddFile(n.c_str(), sources.back().get(), 1), nullptr) << n;
  }
  std::unique_ptr<CFile> out(OpenNativeFile(dir / "writer.pak", true, true));
  ASSERT_EQ(writer.WritePack(out.get()), nullptr);
  out.reset();
  EXPECT_EQ(Extract(dir / "writer.pak"), sources.size());
}

#ifdef PATCHKIT_BIN
TEST_F(ExtractNamesTest, PatchkitExtractKeepsHostileNamesInside) {
  std::set<std::string> before = PathsOutside(dir.path(), "a/b/cli");
  ProcessResult r = RunProcess({PATCHKIT_BIN, "extract", dir / "hostile.pak", dir / "a/b/cli"}, {}, "");
  EXPECT_EQ(r.exitCode, 1) << r.output;  // some members failed
  EXPECT_NE(r.output.find("name refused"), std::string::npos) << r.output;
  EXPECT_EQ(before, PathsOutside(dir.path(), "a/b/cli")) << r.output;
  EXPECT_TRUE(PathExists(dir / "a/b/cli/GOOD.TXT"));
}
#endif

}  // namespace
