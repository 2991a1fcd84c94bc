// Extraction of packs whose member names would land outside the target
// folder: written by the pack writer where it accepts them and byte by byte
// where it does not. Nothing may appear outside the target folder, through
// ExtractArchive in-process and through the real `patchkit extract`.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/archive_open.h"
#include "archive/pack_writer.h"
#include "fs/host_file_service.h"
#include "fs/mount_table.h"
#include "support/process.h"
#include "support/raw_pack.h"
#include "support/temp_dir.h"

namespace {

class ExtractNamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(system(("mkdir -p '" + (dir / "a/b") + "'").c_str()), 0);
    MountTableInit(8);
    HostFsInit();
  }
  void TearDown() override {
    HostFsShutdown();
    MountTableShutdown();
  }

  std::vector<u8> HostilePack() {
    RawMembers members = {{"GOOD.TXT", "good"}, {"SUB\\FINE.TXT", "fine"}};
    for (auto &n : HostileNames()) members.push_back({n, n});
    return RawPack(members);
  }

  std::string Save(const std::vector<u8> &pack, const std::string &name) {
    std::string path = dir / name;
    WriteWholeFile(path, std::vector<unsigned char>(pack.begin(), pack.end()));
    return path;
  }

  // Extracts the pack at `path` into a/b/out in-process; the failures.
  u32 Extract(const std::string &path) {
    Error e = nullptr;
    CFile *f = FsOpen(path.c_str(), FOM_READ, &e);
    EXPECT_NE(f, nullptr);
    CFileService *archive = OpenArchive(f, true, &e);
    EXPECT_NE(archive, nullptr) << ErrorText(e);
    if (!archive) return 0;
    std::string out = dir / "a/b/out";
    FsMakeDir("", out.c_str());
    u32 failures = ExtractArchive(archive, out.c_str(), nullptr, nullptr);
    delete archive;
    return failures;
  }

  TempDir dir;
};

TEST_F(ExtractNamesTest, HostileNamesWrittenByHandStayInside) {
  std::string path = Save(HostilePack(), "hostile.pak");
  std::set<std::string> before = PathsOutside(dir.path(), "a/b/out");
  EXPECT_GE(Extract(path), 12u);
  EXPECT_EQ(before, PathsOutside(dir.path(), "a/b/out")) << "written outside the target folder";
  EXPECT_EQ(ReadWholeFile(dir / "a/b/out/GOOD.TXT"),
            std::vector<unsigned char>({'g', 'o', 'o', 'd'}));
  EXPECT_TRUE(PathExists(dir / "a/b/out/SUB/FINE.TXT"));
}

TEST_F(ExtractNamesTest, HostileNamesThePackWriterAcceptsStayInside) {
  // The writer refuses a leading or trailing '\' only.
  std::vector<std::string> names;
  for (auto &n : HostileNames())
    if (n[0] != '\\' && n.back() != '\\') names.push_back(n);
  std::string src = dir / "src.bin";
  WriteWholeFile(src, "x");
  CPackWriter writer;
  std::vector<CFile *> sources;
  for (auto &n : names) {
    sources.push_back(OpenNativeFile(src, false, false));
    ASSERT_EQ(writer.AddFile(n.c_str(), sources.back(), 1), nullptr) << n;
  }
  CHostFile *out = OpenNativeFile(dir / "writer.pak", true, true);
  ASSERT_EQ(writer.WritePack(out), nullptr);
  delete out;
  for (CFile *f : sources) delete f;
  std::set<std::string> before = PathsOutside(dir.path(), "a/b/out");
  EXPECT_EQ(Extract(dir / "writer.pak"), names.size());
  EXPECT_EQ(before, PathsOutside(dir.path(), "a/b/out"));
}

#ifdef PATCHKIT_BIN
TEST_F(ExtractNamesTest, PatchkitExtractKeepsHostileNamesInside) {
  std::vector<u8> pack = HostilePack();
  WriteWholeFile(dir / "cli.pak", std::vector<unsigned char>(pack.begin(), pack.end()));
  std::set<std::string> before = PathsOutside(dir.path(), "a/b/cli");
  ProcessResult r = RunProcess(
      {PATCHKIT_BIN, "extract", dir / "cli.pak", dir / "a/b/cli"}, {}, "");
  EXPECT_EQ(r.exitCode, 1) << r.output;  // some members failed
  EXPECT_NE(r.output.find("name refused"), std::string::npos) << r.output;
  EXPECT_EQ(before, PathsOutside(dir.path(), "a/b/cli")) << r.output;
  EXPECT_TRUE(PathExists(dir / "a/b/cli/GOOD.TXT"));
}
#endif

}  // namespace
