// Extraction of packs whose member names would land outside the target
// folder: in-process over a pack of the names the writer accepts, and
// through the real `patchkit extract` over all of them written byte by byte.
// Nothing may appear outside the target folder.
#include <gtest/gtest.h>

#include "archive/archive_open.h"
#include "archive/pack_writer.h"
#include "fs/mount_table.h"
#include "support/process.h"
#include "support/raw_pack.h"
#include "support/temp_dir.h"

TEST(ExtractNamesTest, HostileNamesStayInside) {
  TempDir dir;
  MountTableInit(8);
  HostFsInit();
  MakeFolders((dir / "a/b/out").c_str());
  WriteWholeFile(dir / "src.bin", "x");
  CPackWriter writer;  // it refuses a leading or trailing '\' only
  std::vector<std::unique_ptr<CFile>> sources;
  for (auto &n : HostileNames()) {
    if (n[0] == '\\' || n.back() == '\\') continue;
    sources.emplace_back(OpenNativeFile(dir / "src.bin", false, false));
    ASSERT_EQ(writer.AddFile(n.c_str(), sources.back().get(), 1), nullptr) << n;
  }
  std::unique_ptr<CFile> out(OpenNativeFile(dir / "writer.pak", true, true));
  ASSERT_EQ(writer.WritePack(out.get()), nullptr);
  out.reset();
  std::set<std::string> before = PathsOutside(dir.path(), "a/b/out");
  Error e = nullptr;
  std::unique_ptr<CFileService> archive(OpenArchive(FsOpen((dir / "writer.pak").c_str(), FOM_READ, &e), true, &e));
  ASSERT_NE(archive, nullptr) << ErrorText(e);
  EXPECT_EQ(ExtractArchive(archive.get(), (dir / "a/b/out").c_str(), nullptr, nullptr), sources.size());
  EXPECT_EQ(before, PathsOutside(dir.path(), "a/b/out")) << "written outside the target folder";
#ifdef PATCHKIT_BIN
  RawMembers members = {{"GOOD.TXT", "good"}, {"SUB\\FINE.TXT", "fine"}};
  for (auto &n : HostileNames()) members.push_back({n, n});
  std::vector<u8> pack = RawPack(members);
  WriteWholeFile(dir / "hostile.pak", std::vector<unsigned char>(pack.begin(), pack.end()));
  before = PathsOutside(dir.path(), "a/b/cli");
  ProcessResult r = RunProcess({PATCHKIT_BIN, "extract", dir / "hostile.pak", dir / "a/b/cli"}, {}, "");
  EXPECT_EQ(r.exitCode, 1) << r.output;  // some members failed
  EXPECT_NE(r.output.find("name refused"), std::string::npos) << r.output;
  EXPECT_EQ(before, PathsOutside(dir.path(), "a/b/cli")) << r.output;
  EXPECT_EQ(ReadWholeText(dir / "a/b/cli/GOOD.TXT"), "good");
  EXPECT_TRUE(PathExists(dir / "a/b/cli/SUB/FINE.TXT"));
#endif
  archive.reset();
  MountTableShutdown();
}
