// patchkit as a user runs it: real processes over real files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

#include "support/process.h"
#include "support/temp_dir.h"

namespace fsys = std::filesystem;

namespace {

class PatchkitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    src = dir / "src";
    fsys::create_directories(src + "/Sub/Deeper");
    WriteWholeFile(src + "/a.txt", std::string("alpha"));
    WriteWholeFile(src + "/Sub/b.bin", PatternBytes(50000, 4));
    WriteWholeFile(src + "/Sub/Deeper/c.dat", std::string());
  }

  ProcessResult Kit(std::vector<std::string> args) {
    args.insert(args.begin(), PATCHKIT_BIN);
    return RunProcess(args, {}, "");
  }

  // "SIZE\tNAME" lines of `patchkit list`.
  std::set<std::string> Listing(const std::string &file) {
    ProcessResult r = Kit({"list", file});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    std::set<std::string> lines;
    std::istringstream in(r.output);
    for (std::string line; std::getline(in, line);) lines.insert(line);
    return lines;
  }

  void ExpectExtractedTree(const std::string &out, const std::string &prefix) {
    EXPECT_EQ(ReadWholeText(out + prefix + "A.TXT"), "alpha");
    EXPECT_EQ(ReadWholeFile(out + prefix + "SUB/B.BIN"), PatternBytes(50000, 4));
    EXPECT_TRUE(PathExists(out + prefix + "SUB/DEEPER/C.DAT"));
  }

  // A patch of the tree with a catalogue the check refuses.
  ProcessResult Build(const std::string &out, std::vector<std::string> extra = {"--no-check"}) {
    WriteWholeFile(dir / "Patch.ini", std::string("[str]\ntitle = T\n"));
    std::vector<std::string> args = {"build", "--stub", VASKPATCH_BIN, "--ini", dir / "Patch.ini",
                                     "--files", src, "-o", out};
    args.insert(args.end(), extra.begin(), extra.end());
    return Kit(args);
  }

  TempDir dir;
  std::string src;
};

// The checksum record of a patch of the tree: 16 bytes of head, 9 and a
// name per member, 4 of sum.
const unsigned kSumsOfTheTree = 16 + 4 * 9 + 11 + 15 + 22 + 9 + 4;

const std::set<std::string> kTree = {"5\tA.TXT", "50000\tSUB\\B.BIN", "0\tSUB\\DEEPER\\C.DAT"};

// Packs, pools and their LZSS containers list, extract and verify alike;
// a damaged block table is named.
TEST_F(PatchkitTest, ArchivesListExtractAndVerify) {
  ASSERT_EQ(Kit({"pack", src, dir / "t.pack"}).exitCode, 0);
  EXPECT_EQ(Listing(dir / "t.pack"), kTree);
  ProcessResult r = Kit({"extract", dir / "t.pack", dir / "out"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  ExpectExtractedTree(dir / "out", "/");
  EXPECT_EQ(Kit({"verify", dir / "t.pack"}).exitCode, 0);
  ASSERT_EQ(Kit({"pool", src, dir / "t.pool", "--block-size", "512"}).exitCode, 0);
  // The pool keeps the names as given.
  std::set<std::string> pool = Listing(dir / "t.pool");
  EXPECT_EQ(pool.size(), 3u);
  EXPECT_TRUE(pool.count("50000\tSub\\b.bin")) << *pool.begin();
  ASSERT_EQ(Kit({"lzss", "compress", "--code", "0xA1", dir / "t.pool", dir / "t.pool.lz"}).exitCode, 0);
  EXPECT_EQ(Listing(dir / "t.pool.lz"), pool);
  ASSERT_EQ(Kit({"lzss", "compress", dir / "t.pack", dir / "t.pack.lz"}).exitCode, 0);
  EXPECT_EQ(Listing(dir / "t.pack.lz"), kTree);
  r = Kit({"verify", dir / "t.pack.lz"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  ASSERT_EQ(Kit({"lzss", "compress", "--block-size", "4096", dir / "t.pack", dir / "t.lz"}).exitCode, 0);
  auto bytes = ReadWholeFile(dir / "t.lz");
  // Point the second block's table entry past the end of the file.
  bytes[18] = bytes[19] = bytes[20] = 0xFF;
  bytes[21] = 0x7F;
  WriteWholeFile(dir / "t.lz", bytes);
  r = Kit({"verify", dir / "t.lz"});
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_NE(r.output.find("t.lz"), std::string::npos) << r.output;
}

TEST_F(PatchkitTest, BuiltPatchListsItsFilesAndIniAndRefusesASecondArchive) {
  // The check refuses this catalogue; --no-check builds it all the same.
  ProcessResult r = Build(dir / "patch", {});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("Patch.ini:1: error: missing key \"welcome\""), std::string::npos) << r.output;
  EXPECT_FALSE(PathExists(dir / "patch"));
  r = Build(dir / "patch");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  // The patch is a program like its stub.
  EXPECT_EQ(fsys::status(dir / "patch").permissions() & fsys::perms::owner_exec,
            fsys::perms::owner_exec);
  EXPECT_EQ(Listing(dir / "patch"),
            std::set<std::string>({"5\tFILES\\A.TXT", "50000\tFILES\\SUB\\B.BIN", "0\tFILES\\SUB\\DEEPER\\C.DAT",
                                   "16\tPATCH.INI", std::to_string(kSumsOfTheTree) + "\tPATCH.SUM"}));
  r = Kit({"verify", dir / "patch"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("checksums: 4 members match the record"), std::string::npos) << r.output;
  // A byte changed in a raw block decodes, but its member no longer matches.
  auto bytes = ReadWholeFile(dir / "patch");
  auto b = PatternBytes(50000, 4);
  auto at = std::search(bytes.begin(), bytes.end(), b.begin() + 40000, b.begin() + 40016);
  ASSERT_NE(at, bytes.end());
  *at ^= 1;
  WriteWholeFile(dir / "damaged", bytes);
  r = Kit({"verify", dir / "damaged"});
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_NE(r.output.find("member FILES\\SUB\\B.BIN: its bytes do not match the checksum record"),
            std::string::npos) << r.output;
  r = Kit({"extract", dir / "patch", dir / "out"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  ExpectExtractedTree(dir / "out", "/FILES/");
  // A stub that already carries an archive is refused.
  r = Kit({"build", "--stub", dir / "patch", "--ini", dir / "Patch.ini", "--files", src, "--no-check",
           "-o", dir / "patch2"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("already carries an archive"), std::string::npos) << r.output;
  EXPECT_FALSE(PathExists(dir / "patch2"));
}

std::string Replaced(std::string text, const std::string &from, const std::string &to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// The demo's catalogue is clean; each damage is named on its line, with
// what the player would see.
TEST_F(PatchkitTest, CheckNamesEachProblemOnItsLine) {
  const std::string demo = ReadWholeText(VASK_DEMO_INI);
  const std::string longTitle(300, 'T');
  struct Case {
    const char *what;
    std::string ini;
    int exitCode;
    std::string expected;
  } cases[] = {
      {"demo", demo, 0, ""},
      {"missing key", Replaced(demo, "novask = ", "; novask = "), 1,
       "Patch.ini:3: error: missing key \"novask\": an empty error box when the game is "
       "not installed"},
      {"empty text", Replaced(demo, "novask = VASK", "novask = ;"), 1,
       "Patch.ini:8: error: \"novask\" is empty"},
      {"bad hex", Replaced(demo, "ver = 10009", "ver = 1.09"), 1,
       "Patch.ini:9: error: ver = \"1.09\" is not a hexadecimal version"},
      {"vermin above ver", Replaced(demo, "vermin = 10001", "vermin = 1000A"), 1,
       "Patch.ini:10: error: vermin 0x1000A (1.10) is above ver 0x10009 (1.09)"},
      {"two texts in errcopy", Replaced(demo, "The file %s", "The file %s%s"), 1,
       "Patch.ini:16: error: \"errcopy\" leaves 1 directive(s) as written (the patcher "
       "passes it one text, the path of the file): the player would see \"The file "
       "PACKS\\DATA2.WDT%s could not be copied.\""},
      {"integer for the folder", Replaced(demo, "in|%s|", "in|%d|"), 1,
       "Patch.ini:6: error: \"welcome2\" leaves 1 directive(s) as written"},
      {"typo", Replaced(demo, "welcome = ", "welcom = "), 1,
       "Patch.ini:5: warning: \"welcom\" is not a key the patcher reads (the nearest one "
       "is \"welcome\")"},
      {"overlong title", Replaced(demo, "title = Vask Patch 1.09", "title = " + longTitle), 0,
       "Patch.ini:4: warning: \"title\" is 300 characters; the patcher uses 255"},
      {"no [str]", Replaced(demo, "[str]", "[strings]"), 1,
       "Patch.ini:1: error: no [str] section"},
      {"empty", "", 1, "Patch.ini:1: error: the file is empty"},
      {"binary", std::string("MZ\x90\0\3\0\0\0[str]\n", 13), 1,
       "Patch.ini:1: error: byte 0x00"},
  };
  for (const Case &c : cases) {
    WriteWholeFile(dir / "Patch.ini", c.ini);
    ProcessResult r = Kit({"check", dir / "Patch.ini"});
    EXPECT_EQ(r.exitCode, c.exitCode) << c.what << "\n" << r.output;
    if (c.expected.empty())
      EXPECT_EQ(r.output, "") << c.what;
    else
      EXPECT_NE(r.output.find(dir / c.expected), std::string::npos)
          << c.what << "\n" << r.output;
  }
}

TEST_F(PatchkitTest, BadUsageIsExitTwoAndFailuresNameTheFileAndCode) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {}, {"frobnicate"}, {"list"}, {"build", "--stub"}, {"build", "--stub", "x", "--code", "zz"},
           {"build", "-j", "0"}, {"build", "-j0"}, {"lzss", "decompress", "-j", "2", "a", "b"}})
    EXPECT_EQ(Kit(args).exitCode, 2) << (args.empty() ? "" : args[0]);
  ProcessResult r = Kit({"--version"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.output.rfind("patchkit ", 0), 0u) << r.output;
  r = Kit({"list", dir / "missing.pack"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("missing.pack: FILENOTFOUND"), std::string::npos) << r.output;
  WriteWholeFile(dir / "junk", PatternBytes(100, 1));
  r = Kit({"list", dir / "junk"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("junk:"), std::string::npos) << r.output;
}

// Away from a terminal nothing is drawn: a build prints its one summary
// line whatever the threads or --quiet, and the patches are the same bytes.
TEST_F(PatchkitTest, OutputAndPatchAreTheSameForEveryThreadCountAndQuiet) {
  ProcessResult one = Build(dir / "p1", {"--no-check", "-j", "1"});
  ASSERT_EQ(one.exitCode, 0) << one.output;
  EXPECT_EQ(one.output.find('\r'), std::string::npos);
  EXPECT_EQ(std::count(one.output.begin(), one.output.end(), '\n'), 1);
  ProcessResult many = Build(dir / "p3", {"--no-check", "-j3", "--quiet"});
  ASSERT_EQ(many.exitCode, 0) << many.output;
  EXPECT_EQ(many.output.substr(many.output.find(':')), one.output.substr(one.output.find(':')));
  EXPECT_EQ(ReadWholeFile(dir / "p3"), ReadWholeFile(dir / "p1"));
  ASSERT_EQ(Build(dir / "pn", {"--no-check", "--no-verify"}).exitCode, 0);
  EXPECT_EQ(ReadWholeFile(dir / "pn"), ReadWholeFile(dir / "p1"));

  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"lzss", "compress", "-j2", dir / "p1", dir / "p1.lz"},
           {"lzss", "decompress", "--quiet", dir / "p1.lz", dir / "back"},
           {"extract", "--quiet", dir / "p1", dir / "out"}}) {
    ProcessResult r = Kit(args);
    EXPECT_EQ(r.exitCode, 0) << args[0];
    EXPECT_EQ(r.output, "") << args[0];
  }
  EXPECT_EQ(ReadWholeFile(dir / "back"), ReadWholeFile(dir / "p1"));
  ProcessResult v = Kit({"verify", dir / "p1", "--quiet"});
  EXPECT_EQ(v.exitCode, 0) << v.output;
  EXPECT_EQ(v.output.find('\r'), std::string::npos);
}

// What info tells of a patch, a container of a pack of 78 bytes of header
// and directory, 3000 bytes of text and 2000 of noise in blocks of 1000
// (three compress, three do not), a pack and a pool.
TEST_F(PatchkitTest, InfoDescribesPatchesContainersPacksAndPools) {
  ASSERT_EQ(Build(dir / "patch").exitCode, 0);
  fsys::create_directories(dir / "mixed");
  WriteWholeFile(dir / "mixed/A.TXT", std::string(3000, 'a'));
  WriteWholeFile(dir / "mixed/B.BIN", PatternBytes(2000, 5));
  ASSERT_EQ(Kit({"pack", dir / "mixed", dir / "m.pack"}).exitCode, 0);
  ASSERT_EQ(fsys::file_size(dir / "m.pack"), 5078u);
  ASSERT_EQ(Kit({"lzss", "compress", "--block-size", "1000", dir / "m.pack", dir / "m.lz"}).exitCode, 0);
  ASSERT_EQ(Kit({"pack", src, dir / "t.pack"}).exitCode, 0);
  ASSERT_EQ(Kit({"pool", src, dir / "t.pool"}).exitCode, 0);
  // The container follows the patcher and the few zero bytes that align it.
  ProcessResult r = Kit({"info", dir / "patch"});
  size_t stub = fsys::file_size(VASKPATCH_BIN), at = r.output.find("container: at byte ");
  ASSERT_NE(at, std::string::npos) << r.output;
  size_t start = std::stoul(r.output.substr(at + 19));
  EXPECT_TRUE(start >= stub && start < stub + 8) << start;
  struct Case {
    std::string file;
    std::vector<std::string> says, never;
  } cases[] = {
      {"patch",
       {"kind: patch executable\n", "before the container: " + std::to_string(start) + " bytes (the patcher)\n",
        "code: 0xC4 (offset 12 bits, length 4 bits)\n", "block size: 32768\n", "archive: pack\n", "blocks: ",
        "members: 5, " + std::to_string(50021 + kSumsOfTheTree) + " bytes, largest 50000 bytes (FILES\\SUB\\B.BIN)\n",
        "checksum record: present\n"}, {}},
      {"m.lz",
       {"kind: LZSS container\n", "container: at byte 0\n", "block size: 1000\n",
        "blocks: 6 (compressed 3, raw 3, empty 0)\n",
        "stored: " + std::to_string(fsys::file_size(dir / "m.lz")) + " bytes, plain: 5078 bytes",
        "members: 2, 5000 bytes, largest 3000 bytes (A.TXT)\n"}, {}},
      {"t.pack", {"kind: pack\n"}, {"container:"}},
      {"t.pool", {"kind: pool file\n", "checksum record: absent\n"}, {}},
  };
  for (const Case &c : cases) {
    r = Kit({"info", dir / c.file});
    EXPECT_EQ(r.exitCode, 0) << c.file;
    for (const std::string &line : c.says) EXPECT_NE(r.output.find(line), std::string::npos) << line << r.output;
    for (const std::string &line : c.never) EXPECT_EQ(r.output.find(line), std::string::npos) << line << r.output;
  }
}

}  // namespace
