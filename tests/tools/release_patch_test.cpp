// A patch from release 1.01 to release 1.09 of the game's files: built with
// patchkit build --from, applied by the real patcher over an installation
// of 1.01, which then holds 1.09 (and the files 1.09 no longer has).
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>

#include "support/process.h"
#include "support/temp_dir.h"

namespace fsys = std::filesystem;

namespace {

// Every file below `root`: its path (upper case, as the patcher matches
// names) and its bytes.
std::map<std::string, std::vector<unsigned char>> Tree(const std::string &root) {
  std::map<std::string, std::vector<unsigned char>> out;
  for (auto &e : fsys::recursive_directory_iterator(root)) {
    std::string rel = fsys::relative(e.path(), root).string();
    std::transform(rel.begin(), rel.end(), rel.begin(), ::toupper);
    if (e.is_regular_file()) out[rel] = ReadWholeFile(e.path().string());
  }
  return out;
}

void Put(const std::string &path, const std::vector<unsigned char> &bytes) {
  fsys::create_directories(fsys::path(path).parent_path());
  WriteWholeFile(path, bytes);
}

std::vector<unsigned char> Text(const std::string &s) { return {s.begin(), s.end()}; }

class ReleasePatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    oldDir = dir / "old";
    newDir = dir / "new";
    auto flipped = PatternBytes(50000, 7);
    flipped[25000] ^= 1;
    // Unchanged, also under other letter cases; changed in content, in one
    // byte or in size; new; removed.
    struct {
      const char *oldName, *newName;
      std::vector<unsigned char> oldBytes, newBytes;
    } files[] = {{"same.txt", "same.txt", Text("same"), Text("same")},
                 {"Readme.TXT", "readme.txt", Text("keep"), Text("keep")},
                 {"Big/data.bin", "BIG/DATA.BIN", PatternBytes(100000, 3), PatternBytes(100000, 3)},
                 {"Maps/x.map", "MAPS/X.MAP", Text("map 1.01"), Text("map 1.09")},
                 {"flip.bin", "flip.bin", PatternBytes(50000, 7), flipped},
                 {"Vask.exe", "Vask.exe", Text("game 1.01"), Text("game 1.09, longer")},
                 {nullptr, "Sub/Deeper/new.bin", {}, PatternBytes(3000, 9)},
                 {"gone.dat", nullptr, Text("only in 1.01"), {}}};
    for (auto &f : files) {
      if (f.oldName) Put(oldDir + "/" + f.oldName, f.oldBytes);
      if (f.newName) Put(newDir + "/" + f.newName, f.newBytes);
    }
  }

  ProcessResult Kit(std::vector<std::string> args) {
    args.insert(args.begin(), {PATCHKIT_BIN, "build", "--target", "linux", "--ini", VASK_DEMO_INI});
    return RunProcess(args, {}, "");
  }

  TempDir dir;
  std::string oldDir, newDir;
};

TEST_F(ReleasePatchTest, PatchOfTheChangesTurnsTheOldReleaseIntoTheNew) {
  // Nothing changed: refused unless asked for.
  ProcessResult r = Kit({"--from", oldDir, "--files", oldDir, "-o", dir / "patch"});
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_NE(r.output.find("no patch built (--allow-empty"), std::string::npos) << r.output;
  EXPECT_FALSE(PathExists(dir / "patch"));
  r = Kit({"--from", oldDir, "--files", oldDir, "--allow-empty", "-o", dir / "empty"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  std::string listed = RunProcess({PATCHKIT_BIN, "list", dir / "empty"}, {}, "").output;
  EXPECT_TRUE(listed.find("PATCH.INI") != std::string::npos &&
              listed.find("FILES\\") == std::string::npos) << listed;

  r = Kit({"--from", oldDir, "--files", newDir, "-o", dir / "patch"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  for (const char *line : {"in:   MAPS\\X.MAP (changed)", "in:   flip.bin (changed)", "in:   Vask.exe (changed)",
                           "in:   Sub\\Deeper\\new.bin (new)", "out:  same.txt (unchanged)",
                           "out:  readme.txt (unchanged)", "out:  BIG\\DATA.BIN (unchanged)",
                           "warning: gone.dat is gone from the new release",
                           "1 new and 3 changed file(s) go in, 3 unchanged left out, 1 gone"})
    EXPECT_NE(r.output.find(line), std::string::npos) << line << "\n" << r.output;

  // The same bytes as the full build of exactly the files that went in.
  std::string only = dir / "only";
  for (const char *rel : {"MAPS/X.MAP", "flip.bin", "Vask.exe", "Sub/Deeper/new.bin"})
    Put(only + "/" + rel, ReadWholeFile(newDir + "/" + rel));
  ASSERT_EQ(Kit({"--files", only, "-o", dir / "full"}).exitCode, 0);
  EXPECT_EQ(ReadWholeFile(dir / "patch"), ReadWholeFile(dir / "full"));

  // Applied over an installation of the old release.
  std::string game = dir / "game";
  fsys::copy(oldDir, game, fsys::copy_options::recursive);
  fsys::create_directories(dir / "programs");
  WriteWholeFile(dir / "registry.reg",
                 "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lorvenest\\Vask]\n\"Path\"=\"" +
                     game + "/\"\n\"GameVersion\"=dword:00010001\n\"Language\"=\"English\"\n");
  chmod((dir / "patch").c_str(), 0755);
  r = RunProcess({dir / "patch"},
                 {{"VASKPATCH_REGISTRY", dir / "registry.reg"}, {"VASKPATCH_PROGRAMS", dir / "programs"},
                  {"TMPDIR", dir.path()}, {"HOME", dir.path()}},
                 "y\nn\n\n", 120);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  auto expected = Tree(newDir);
  expected["GONE.DAT"] = Text("only in 1.01");
  EXPECT_EQ(Tree(game), expected);
}

}  // namespace
