// Extraction through the real `patchkit extract` of a pack, written byte by
// byte, whose member names would land outside the target folder: nothing
// may appear outside it.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/process.h"
#include "support/raw_pack.h"
#include "support/temp_dir.h"

#ifdef PATCHKIT_BIN
TEST(ExtractNamesTest, PatchkitExtractKeepsHostileNamesInside) {
  TempDir dir;
  RawMembers members = {{"GOOD.TXT", "good"}, {"SUB\\FINE.TXT", "fine"}};
  for (auto &n : HostileNames()) members.push_back({n, n});
  std::vector<u8> pack = RawPack(members);
  WriteWholeFile(dir / "hostile.pak", std::vector<unsigned char>(pack.begin(), pack.end()));
  std::filesystem::create_directories(dir / "a/b");
  std::set<std::string> before = PathsOutside(dir.path(), "a/b/cli");
  ProcessResult r = RunProcess({PATCHKIT_BIN, "extract", dir / "hostile.pak", dir / "a/b/cli"}, {}, "");
  EXPECT_EQ(r.exitCode, 1) << r.output;  // some members failed
  EXPECT_NE(r.output.find("name refused"), std::string::npos) << r.output;
  EXPECT_EQ(before, PathsOutside(dir.path(), "a/b/cli")) << r.output;
  EXPECT_EQ(ReadWholeText(dir / "a/b/cli/GOOD.TXT"), "good");
  EXPECT_TRUE(PathExists(dir / "a/b/cli/SUB/FINE.TXT"));
}
#endif
