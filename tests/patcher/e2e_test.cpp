// End-to-end runs of the real patcher: a patch is built with the real
// patchkit over a sample folder, then run as a process against a game
// installation laid out in a temporary folder, with the user's answers piped
// to its standard input and its registry, shortcuts and files checked.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

namespace fsys = std::filesystem;

namespace {

std::string Registry(const std::string &path, const char *version,
                     const char *language) {
  std::string escaped;
  for (char c : path) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c;
  }
  std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lorvenest\\Vask]\n";
  if (!path.empty()) text += "\"Path\"=\"" + escaped + "\"\n";
  if (version) text += std::string("\"GameVersion\"=dword:") + version + "\n";
  if (language) text += std::string("\"Language\"=\"") + language + "\"\n";
  text += "\"Other\"=\"kept\"\n\n[HKEY_CURRENT_USER\\Software\\Elsewhere]\n\"x\"=dword:00000001\n";
  return text;
}

int Count(const std::string &haystack, const std::string &needle) {
  int n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1))
    n++;
  return n;
}

class PatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    game = dir / "game";
    fsys::create_directories(game + "/packs");
    fsys::create_directories(dir / "programs");
    fsys::create_directories(dir / "tmp");
    fsys::create_directories(dir / "home");
    WriteWholeFile(game + "/Vask.exe", std::string("old game executable"));
    WriteWholeFile(dir / "registry.reg", Registry(game + "/", "00010001", "English"));
    ini = ReadWholeText(VASK_TEST_DATA "/Patch.ini");
    // The patch's files.
    files = dir / "src/files";
    fsys::create_directories(files + "/Maps/Deep/Deeper");
    fsys::create_directories(files + "/GameSpy Arcade");
    WriteWholeFile(files + "/VASK.EXE", std::string("new game executable"));
    WriteWholeFile(files + "/Readme.txt", PatternBytes(70000, 1));
    WriteWholeFile(files + "/empty.dat", std::string());
    WriteWholeFile(files + "/Maps/x.map", PatternBytes(40000, 2));
    WriteWholeFile(files + "/Maps/Deep/Deeper/y.map", PatternBytes(3, 3));
    WriteWholeFile(files + "/GameSpy Arcade/ArcadeInstallFull101b.EXE",
                   std::string("#!/bin/sh\ntouch \"$(dirname \"$0\")/../installer-ran\"\n"));
  }

  // Builds the patch from `files` and `ini` (unchecked with `check` false);
  // true on success.
  bool Build(const std::string &code = "0xC4", bool check = true) {
    WriteWholeFile(dir / "src/Patch.ini", ini);
    patch = dir / "patch.bin";
    std::vector<std::string> args = {PATCHKIT_BIN, "build", "--stub", VASKPATCH_BIN,
                                     "--ini", dir / "src/Patch.ini", "--files", files,
                                     "--code", code, "-o", patch};
    if (!check) args.push_back("--no-check");
    ProcessResult r = RunProcess(args, {}, "");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    if (r.exitCode != 0) return false;
    chmod(patch.c_str(), 0755);
    return true;
  }

  ProcessResult Run(const std::string &answers, const std::string &exe = "",
                    const std::function<bool()> &killWhen = nullptr) {
    return RunProcess({exe.empty() ? patch : exe},
                      {{"VASKPATCH_REGISTRY", dir / "registry.reg"},
                       {"VASKPATCH_PROGRAMS", dir / "programs"},
                       {"TMPDIR", dir / "tmp"},
                       {"HOME", dir / "home"},
                       {"ASAN_OPTIONS", leakCheck ? "detect_leaks=1" : "detect_leaks=0"}},
                      answers, 120, killWhen);
  }

  std::string RegistryText() { return ReadWholeText(dir / "registry.reg"); }

  // A game language archive at packs/local.wdt made by patchkit from a folder
  // holding LOCAL/strings3.ini and LOCAL/strings.ini.
  void MakeLanguageArchive(const std::string &kind, const std::string &language,
                           const std::string &peon, bool lzss) {
    std::string src = dir / ("lang-" + kind);
    fsys::create_directories(src + "/LOCAL");
    WriteWholeFile(src + "/LOCAL/strings3.ini",
                   "[system]\nlanguage = " + language + "\n");
    WriteWholeFile(src + "/LOCAL/strings.ini",
                   "[objects]\npeon = " + peon + "\nfarm = Farm\n");
    std::string plain = dir / ("local-" + kind);
    ProcessResult r = RunProcess({PATCHKIT_BIN, kind, src, plain}, {}, "");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    std::string target = game + "/packs/local.wdt";
    if (lzss) {
      r = RunProcess({PATCHKIT_BIN, "lzss", "compress", plain, target}, {}, "");
      ASSERT_EQ(r.exitCode, 0) << r.output;
    } else {
      fsys::copy_file(plain, target, fsys::copy_options::overwrite_existing);
    }
  }

  TempDir dir;
  std::string game, files, ini, patch;
  bool leakCheck = true;  // under the sanitizers, at each run's exit
};

TEST_F(PatcherTest, CompleteRunCopiesEverythingAndFinishes) {
  fsys::create_directories(dir / "programs/Vask");
  fsys::create_directories(dir / "programs/Games/VASK");
  fsys::create_directories(dir / "programs/Other");
  // An existing read-only file with another case is replaced in place.
  WriteWholeFile(game + "/readme.TXT", std::string("old"));
  chmod((game + "/readme.TXT").c_str(), 0444);
  ASSERT_TRUE(Build());

  ProcessResult r = Run("y\ny\n\n");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("VASK: The Salt Road 1.01 is installed in\n" + game + "/\n"
                          "Update it to version 1.09?"),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("Updating VASK. Please, wait..."), std::string::npos);
  EXPECT_NE(r.output.find("VASK has been updated to version 1.09."), std::string::npos);

  EXPECT_EQ(ReadWholeText(game + "/Vask.exe"), "new game executable");
  EXPECT_FALSE(PathExists(game + "/VASK.EXE") && !PathExists(game + "/Vask.exe"));
  EXPECT_EQ(ReadWholeFile(game + "/readme.TXT"), PatternBytes(70000, 1));
  EXPECT_FALSE(PathExists(game + "/README.TXT"));
  struct stat st;
  ASSERT_EQ(stat((game + "/readme.TXT").c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IWUSR);
  EXPECT_TRUE(PathExists(game + "/EMPTY.DAT"));
  EXPECT_EQ(ReadWholeFile(game + "/EMPTY.DAT").size(), 0u);
  EXPECT_EQ(ReadWholeFile(game + "/MAPS/X.MAP"), PatternBytes(40000, 2));
  EXPECT_EQ(ReadWholeFile(game + "/MAPS/DEEP/DEEPER/Y.MAP"), PatternBytes(3, 3));

  std::string reg = RegistryText();
  EXPECT_NE(reg.find("\"GameVersion\"=dword:00010009"), std::string::npos) << reg;
  EXPECT_NE(reg.find("\"Other\"=\"kept\""), std::string::npos);
  EXPECT_NE(reg.find("[HKEY_CURRENT_USER\\Software\\Elsewhere]"), std::string::npos);

  // One shortcut in each folder named vask, none in Programs itself.
  std::string link1 = dir / "programs/Vask/Zel Online.desktop";
  std::string link2 = dir / "programs/Games/VASK/Zel Online.desktop";
  EXPECT_TRUE(PathExists(link1));
  EXPECT_TRUE(PathExists(link2));
  EXPECT_FALSE(PathExists(dir / "programs/Zel Online.desktop"));
  std::string entry = ReadWholeText(link1);
  EXPECT_NE(entry.find("Name=Zel Online"), std::string::npos) << entry;
  EXPECT_NE(entry.find("zel/zelclient.exe"), std::string::npos) << entry;

  // The installer was offered and started on Yes.
  EXPECT_NE(r.output.find("Install GameSpy Arcade now?"), std::string::npos);
  for (int i = 0; i < 200 && !PathExists(game + "/installer-ran"); i++) usleep(20000);
  EXPECT_TRUE(PathExists(game + "/installer-ran"));
}

TEST_F(PatcherTest, PathWithoutSeparatorShortcutInProgramsAndNoInstallerOnNo) {
  ASSERT_TRUE(Build());
  WriteWholeFile(dir / "registry.reg", Registry(game, "00010001", "English"));
  ProcessResult r = Run("y\nn\n\n");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("This will update VASK: The Salt Road to version 1.09."),
            std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("is installed in"), std::string::npos);
  EXPECT_EQ(ReadWholeText(game + "/Vask.exe"), "new game executable");
  // Without a folder named vask the shortcut goes to Programs itself.
  EXPECT_TRUE(PathExists(dir / "programs/Zel Online.desktop"));
  usleep(200000);
  EXPECT_FALSE(PathExists(game + "/installer-ran"));
}

TEST_F(PatcherTest, NestedVaskFoldersEachGetAShortcut) {
  fsys::create_directories(dir / "programs/vask/Vask");
  ASSERT_TRUE(Build());
  ProcessResult r = Run("y\nn\n\n");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(PathExists(dir / "programs/vask/Zel Online.desktop"));
  EXPECT_TRUE(PathExists(dir / "programs/vask/Vask/Zel Online.desktop"));
  EXPECT_FALSE(PathExists(dir / "programs/Zel Online.desktop"));
}

TEST_F(PatcherTest, MinimalCatalogueAsksNothingOptional) {
  // No welcome2, lang, zel_shortcut or gamespy: plain welcome, no language
  // check, no shortcut, no installer question; an empty Files folder.
  ini = "[str]\ntitle = T\nwelcome = W\nver = 10009\nvermin = 10001\ndone = D\n";
  fsys::remove_all(files);
  fsys::create_directories(files);
  WriteWholeFile(dir / "registry.reg", Registry(game + "/", "00010001", "Klingon"));
  ASSERT_TRUE(Build("0xC4", false));
  ProcessResult r = Run("y\n\n");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("== T ==\nW\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("== T ==\nD\n"), std::string::npos) << r.output;
  EXPECT_EQ(Count(r.output, "== T =="), 3) << r.output;  // welcome, dialog, done
  EXPECT_TRUE(fsys::is_empty(dir / "programs"));
  EXPECT_NE(RegistryText().find("\"GameVersion\"=dword:00010009"), std::string::npos);
}

TEST_F(PatcherTest, MemberPathTooLongForTheBuffersFailsToCopy) {
  // FILES\ + 245 characters fits the pack, but DATA\Files\ + the same does
  // not fit the copy engine's 256-byte paths. The tree is reached through a
  // short link so that its host paths stay within the host's limit.
  std::string rel = std::string(125, 'a') + "/" + std::string(119, 'b');
  fsys::create_directories(files + "/" + std::string(125, 'a'));
  WriteWholeFile(files + "/" + rel, std::string("deep"));
  std::string link = "/tmp/vk" + std::to_string(getpid());
  fsys::remove(link);
  fsys::create_directory_symlink(files, link);
  files = link;
  bool built = Build();
  fsys::remove(link);
  ASSERT_TRUE(built);
  ProcessResult r = Run("y\ni\n\n");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("could not be copied"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("The update did not complete."), std::string::npos);
  EXPECT_EQ(ReadWholeText(game + "/Vask.exe"), "new game executable");
}

// Every refusal ends the run with -1 and changes neither files nor registry.
TEST_F(PatcherTest, RefusalsEndTheRunAndChangeNothing) {
  ASSERT_TRUE(Build());
  const std::string ok = Registry(game + "/", "00010001", "English");
  const char *novask = "is not installed on this computer";
  const char *tooOld = "This patch needs VASK 1.01 or later.";
  struct Case {
    const char *what;
    std::string registry, answers;
    std::vector<std::string> messages;
    bool noGame;
  } cases[] = {
      {"declined", ok, "n\n", {"Update it to version 1.09?"}, false},
      {"end of input is a decline", ok, "", {}, false},
      {"missing key", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n", "y\n\n",
       {"This will update VASK: The Salt Road to version 1.09.\nDo you want", novask}, false},
      {"missing game executable", ok, "y\n\n", {novask}, true},
      // 255 characters leave no room for the separator; 300 do not fit at all.
      {"path of 255", Registry("/" + std::string(254, 'p'), "00010001", "English"), "y\n\n",
       {novask}, false},
      {"path of 300", Registry("/" + std::string(299, 'p'), "00010001", "English"), "y\n\n",
       {novask}, false},
      {"unreadable version", Registry(game + "/", nullptr, "English"), "y\n\n", {tooOld}, false},
      {"older version", Registry(game + "/", "00010000", "English"), "y\n\n", {tooOld}, false},
      {"newer version", Registry(game + "/", "0001000a", "English"), "y\n\n",
       {"A newer version of VASK is already installed."}, false},
      {"wrong language", Registry(game + "/", "00010001", "German"), "y\n\n",
       {"This patch is for the English version"}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    WriteWholeFile(dir / "registry.reg", c.registry);
    if (c.noGame) fsys::remove(game + "/Vask.exe");
    ProcessResult r = Run(c.answers);
    EXPECT_EQ(r.exitCode, 255) << r.output;
    for (const std::string &m : c.messages) EXPECT_NE(r.output.find(m), std::string::npos) << r.output;
    EXPECT_EQ(RegistryText(), c.registry);
    if (!c.noGame) {
      EXPECT_EQ(ReadWholeText(game + "/Vask.exe"), "old game executable");
    }
    WriteWholeFile(game + "/Vask.exe", std::string("old game executable"));
  }
}

TEST_F(PatcherTest, HeldMutexIsRefusedAfterTheWelcome) {
  ASSERT_TRUE(Build());
  std::string lock = dir / "tmp/Vask_The_Salt_Road_Ver_01.lock";
  int fd = open(lock.c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  ProcessResult r = Run("y\n\n");
  close(fd);
  EXPECT_EQ(r.exitCode, 255) << r.output;
  size_t welcome = r.output.find("Update it to version 1.09?");
  size_t refusal = r.output.find("VASK or another patch is running.");
  ASSERT_NE(refusal, std::string::npos) << r.output;
  EXPECT_LT(welcome, refusal);
  EXPECT_EQ(ReadWholeText(game + "/Vask.exe"), "old game executable");
}

TEST_F(PatcherTest, VersionRangeIsInclusiveAndTheLanguageIgnoresCase) {
  ASSERT_TRUE(Build());
  for (const char *version : {"00010009", "00010001"}) {
    WriteWholeFile(dir / "registry.reg", Registry(game + "/", version, "ENGLISH"));
    ProcessResult r = Run("y\nn\n\n");
    EXPECT_EQ(r.exitCode, 0) << version << "\n" << r.output;
    EXPECT_NE(r.output.find("VASK has been updated"), std::string::npos) << r.output;
  }
}

TEST_F(PatcherTest, LanguageArchiveIsReadInEveryForm) {
  ASSERT_TRUE(Build());
  struct Case { const char *kind; bool lzss; } forms[] = {
      {"pool", false}, {"pack", false}, {"pool", true}, {"pack", true}};
  for (const auto &f : forms) {
    SCOPED_TRACE(std::string(f.kind) + (f.lzss ? " in LZSS" : ""));
    MakeLanguageArchive(f.kind, "German", "Peasant", f.lzss);
    ProcessResult r = Run("y\n\n");
    EXPECT_EQ(r.exitCode, 255) << r.output;
    EXPECT_NE(r.output.find("This patch is for the English version"), std::string::npos);
    MakeLanguageArchive(f.kind, "english", "Bauer", f.lzss);
    r = Run("y\n\n");
    EXPECT_EQ(r.exitCode, 255) << r.output;
    MakeLanguageArchive(f.kind, "english", "peasant", f.lzss);
    r = Run("y\nn\n\n");
    EXPECT_EQ(r.exitCode, 0) << r.output;
  }
  // An archive that is neither passes.
  WriteWholeFile(game + "/packs/local.wdt", PatternBytes(5000, 7));
  ProcessResult r = Run("y\nn\n\n");
  EXPECT_EQ(r.exitCode, 0) << r.output;
}

TEST_F(PatcherTest, CopyFailureRetryThenIgnoreSkipsFinishing) {
  ASSERT_TRUE(Build());
  // A directory where a file must go cannot be replaced.
  fsys::create_directories(game + "/MAPS/X.MAP");
  ProcessResult r = Run("y\nr\ni\n\n");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Count(r.output, "The file MAPS\\X.MAP could not be copied."), 2) << r.output;
  EXPECT_NE(r.output.find("The update did not complete."), std::string::npos);
  EXPECT_EQ(r.output.find("VASK has been updated"), std::string::npos);
  EXPECT_EQ(RegistryText().find("dword:00010009"), std::string::npos);
  EXPECT_FALSE(PathExists(dir / "programs/Zel Online.desktop"));
  // The other files were copied.
  EXPECT_EQ(ReadWholeText(game + "/Vask.exe"), "new game executable");
}

TEST_F(PatcherTest, CopyFailureAbortEndsTheRun) {
  ASSERT_TRUE(Build());
  fsys::create_directories(game + "/MAPS/X.MAP");
  ProcessResult r = Run("y\na\n\n");
  EXPECT_EQ(r.exitCode, 255) << r.output;
  EXPECT_NE(r.output.find("The update did not complete."), std::string::npos);
  EXPECT_EQ(RegistryText().find("dword:00010009"), std::string::npos);
}

TEST_F(PatcherTest, BarePatcherSaysThePatchIsBroken) {
  ProcessResult r = Run("\n", VASKPATCH_BIN);
  EXPECT_EQ(r.exitCode, 255) << r.output;
  EXPECT_NE(r.output.find("== VASK Patch ==\nPatch file is broken!"), std::string::npos)
      << r.output;
}

// Everything below the game folder: each path with its mode and bytes.
std::map<std::string, std::pair<unsigned, std::string>> Snapshot(const std::string &root) {
  std::map<std::string, std::pair<unsigned, std::string>> out;
  for (auto &e : fsys::recursive_directory_iterator(root)) {
    struct stat st;
    lstat(e.path().c_str(), &st);
    out[e.path().string()] = {static_cast<unsigned>(st.st_mode),
                              e.is_regular_file() ? ReadWholeText(e.path()) : ""};
  }
  return out;
}

u32 U32At(const std::vector<unsigned char> &b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<u32>(b[at + 3]) << 24;
}

// A patch of `tree` (Patch.ini and Files/) made with the general tools
// instead of the builder: a pack, its container, the patcher in front.
std::string AssembleByHand(const std::string &tree, const std::string &out) {
  std::string pack = out + ".pack", container = out + ".lzss";
  EXPECT_EQ(RunProcess({PATCHKIT_BIN, "pack", tree, pack}, {}, "").exitCode, 0);
  EXPECT_EQ(RunProcess({PATCHKIT_BIN, "lzss", "compress", pack, container}, {}, "").exitCode, 0);
  auto bytes = ReadWholeFile(VASKPATCH_BIN);
  auto tail = ReadWholeFile(container);
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  WriteWholeFile(out, bytes);
  chmod(out.c_str(), 0755);
  return out;
}

// A patch that cannot be proven whole says so and changes nothing: not a
// file, not a mode, not the registry.
TEST_F(PatcherTest, BrokenPatchesAreToldAndChangeNothing) {
  // A big compressible member spans several compressed blocks.
  std::string big;
  for (int i = 0; big.size() < 200000; i++)
    big += "line " + std::to_string(i * 7919 % 1000) + " of the big map\n";
  WriteWholeFile(files + "/Maps/big.bin", big);
  WriteWholeFile(game + "/readme.TXT", std::string("old"));
  chmod((game + "/readme.TXT").c_str(), 0444);
  ASSERT_TRUE(Build());
  const auto good = ReadWholeFile(patch);
  // The container follows the stub after a few zero bytes of alignment.
  const size_t stubSize = ReadWholeFile(VASKPATCH_BIN).size();
  const size_t header = std::string(good.begin(), good.end()).find("LZSS", stubSize);
  ASSERT_LT(header - stubSize, 8u);
  auto block = [&](const std::vector<unsigned char> &b, u32 i) {
    return header + U32At(b, header + 14 + 4 * i);
  };
  u32 blocks = (U32At(good, header + 4) - 1) / U32At(good, header + 8) + 1;
  ASSERT_GE(blocks, 5u);
  ASSERT_LT(block(good, 4) - block(good, 3), 32768u) << "block 3 must be compressed";

  // The same tree by hand, with a damaged checksum record.
  std::string tree = dir / "tree";
  ASSERT_EQ(RunProcess({PATCHKIT_BIN, "extract", patch, tree}, {}, "").exitCode, 0);
  auto sums = ReadWholeFile(tree + "/PATCH.SUM");
  ASSERT_GT(sums.size(), 40u);
  sums[20] ^= 1;  // the first entry's sum
  WriteWholeFile(tree + "/PATCH.SUM", sums);
  auto badRecord = ReadWholeFile(AssembleByHand(tree, dir / "hand.bin"));

  struct Case {
    const char *what;
    std::function<void(std::vector<unsigned char> &)> damage;
  } cases[] = {
      {"a member block that does not decode",
       [&](auto &b) { b[block(b, 3)] = 0x7F, b[block(b, 3) + 1] = 0xFF; }},
      {"50 bytes changed inside a member's block",
       [&](auto &b) { for (int i = 0; i < 50; i++) b[block(b, 2) + 700 + i] ^= 0x55; }},
      {"the directory's block out of bounds",
       [&](auto &b) { for (size_t i = header + 18; i < header + 22; i++) b[i] = 0xFF; }},
      {"a cut download", [&](auto &b) { b.resize(b.size() - 20000); }},
      {"a damaged checksum record", [&](auto &b) { b = badRecord; }},
  };
  const std::string registry = RegistryText();
  const auto before = Snapshot(game);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    auto bytes = good;
    c.damage(bytes);
    WriteWholeFile(patch, bytes);
    ProcessResult r = Run("y\n\n");
    EXPECT_EQ(r.exitCode, 255) << r.output;
    EXPECT_NE(r.output.find("== VASK Patch ==\nPatch file is broken!\n"), std::string::npos)
        << r.output;
    EXPECT_EQ(Snapshot(game), before);
    EXPECT_EQ(RegistryText(), registry);
  }
}

// Patches of other tools, without a checksum record, are proven as far as
// they can be and apply as before.
TEST_F(PatcherTest, PatchWithoutChecksumsStillApplies) {
  std::string tree = dir / "tree";
  fsys::create_directories(tree);
  fsys::copy(files, tree + "/Files", fsys::copy_options::recursive);
  WriteWholeFile(tree + "/Files/noise.bin", PatternBytes(40000, 9));
  WriteWholeFile(tree + "/Patch.ini", ini);
  patch = AssembleByHand(tree, dir / "hand.bin");
  ProcessResult r = Run("y\nn\n\n");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(ReadWholeText(game + "/Vask.exe"), "new game executable");
  EXPECT_EQ(ReadWholeFile(game + "/NOISE.BIN"), PatternBytes(40000, 9));
  EXPECT_NE(RegistryText().find("\"GameVersion\"=dword:00010009"), std::string::npos);
}

// A run killed at any moment leaves every game file old or new, whole, and
// the next run removes what it left behind and completes.
TEST_F(PatcherTest, KilledRunsLeaveEveryFileOldOrNew) {
  fsys::remove_all(files);
  fsys::create_directories(files + "/Data");
  const int kFiles = 4;
  const size_t kSize = 256 << 10;
  leakCheck = false;  // killed runs have none to report; the others are many
  auto name = [](int i) { return "Data/PART" + std::to_string(i) + ".BIN"; };
  for (int i = 0; i < kFiles; i++) WriteWholeFile(files + "/" + name(i), PatternBytes(kSize, i));
  ASSERT_TRUE(Build());
  auto reset = [&] {
    fsys::remove_all(game + "/Data");
    fsys::create_directories(game + "/Data");
    for (int i = 0; i < kFiles; i++) WriteWholeFile(game + "/" + name(i), "old " + name(i));
  };
  auto leftovers = [&] {
    int n = 0;
    for (auto &e : fsys::recursive_directory_iterator(game))
      n += e.path().filename() == "~vaskpatch.tmp";
    return n;
  };
  // The copy's span, watched from outside: from the first temporary file
  // seen to the last file in place (a new file is the only one of its size).
  typedef std::chrono::steady_clock Clock;
  auto started = [&] { return PathExists(game + "/Data/~vaskpatch.tmp"); };
  auto allNew = [&] {
    for (int i = 0; i < kFiles; i++)
      if (!PathExists(game + "/" + name(i)) || fsys::file_size(game + "/" + name(i)) != kSize)
        return false;
    return true;
  };
  reset();
  Clock::time_point start = Clock::now(), first{}, last{};
  ASSERT_EQ(Run("y\nn\n\n", "", [&] {
              if (first == Clock::time_point{} && started()) first = Clock::now();
              if (first != Clock::time_point{} && last == Clock::time_point{} && allNew())
                last = Clock::now();
              return false;
            }).exitCode,
            0);
  // On a busy machine the watch may miss either end: the run's own bounds
  // then stand in for them.
  if (first == Clock::time_point{}) first = start;
  if (last == Clock::time_point{}) last = Clock::now();
  long span = std::chrono::duration_cast<std::chrono::microseconds>(last - first).count() + 1;

  std::mt19937 rng(20261207);
  int cut = 0;
  for (int k = 0; k < 20; k++) {
    reset();
    long delay = static_cast<long>(rng() % static_cast<unsigned>(span));
    SCOPED_TRACE("killed " + std::to_string(delay) + " us into a copy of " + std::to_string(span));
    Clock::time_point seen{};
    ProcessResult r = Run("y\nn\n\n", "", [&] {
      if (seen == Clock::time_point{} && started()) seen = Clock::now();
      return seen != Clock::time_point{} &&
             std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - seen).count() >=
                 delay;
    });
    int fresh = 0;
    for (int i = 0; i < kFiles; i++) {
      auto bytes = ReadWholeFile(game + "/" + name(i));
      bool isNew = bytes == PatternBytes(kSize, i);
      EXPECT_TRUE(isNew || std::string(bytes.begin(), bytes.end()) == "old " + name(i)) << name(i);
      fresh += isNew;
    }
    cut += r.exitCode != 0 && fresh < kFiles;
    r = Run("y\nn\n\n");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    for (int i = 0; i < kFiles; i++)
      EXPECT_EQ(ReadWholeFile(game + "/" + name(i)), PatternBytes(kSize, i));
    EXPECT_EQ(leftovers(), 0);
  }
  EXPECT_GT(cut, 0) << "no kill fell in the middle of the copy";
}

// A disk that fills up in the middle of a file leaves that file's old
// content whole and asks about it. Needs a small file system of its own:
// root's tmpfs mount.
TEST_F(PatcherTest, FullDiskLeavesTheOldFileWhole) {
  std::string small = dir / "small";
  fsys::create_directories(small);
  if (geteuid() != 0 ||
      system(("mount -t tmpfs -o size=1m tmpfs '" + small + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "a 1 MiB tmpfs cannot be mounted here (needs root and mount rights)";
  std::string smallGame = small + "/game";
  fsys::create_directories(smallGame);
  WriteWholeFile(smallGame + "/Vask.exe", std::string("old game executable"));
  WriteWholeFile(smallGame + "/BIG.DAT", PatternBytes(400000, 5));
  WriteWholeFile(dir / "registry.reg", Registry(smallGame + "/", "00010001", "English"));
  fsys::remove_all(files);
  fsys::create_directories(files);
  WriteWholeFile(files + "/VASK.EXE", std::string("new game executable"));
  WriteWholeFile(files + "/BIG.DAT", PatternBytes(700000, 6));
  bool built = Build();
  ProcessResult r = built ? Run("y\ni\n\n") : ProcessResult();
  auto big = ReadWholeFile(smallGame + "/BIG.DAT");
  auto exe = ReadWholeText(smallGame + "/Vask.exe");
  bool tempLeft = PathExists(smallGame + "/~vaskpatch.tmp");
  EXPECT_EQ(system(("umount '" + small + "'").c_str()), 0);
  ASSERT_TRUE(built);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("The file BIG.DAT could not be copied."), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("The update did not complete."), std::string::npos);
  EXPECT_TRUE(big == PatternBytes(400000, 5)) << "the old BIG.DAT was damaged";
  EXPECT_EQ(exe, "new game executable");
  EXPECT_FALSE(tempLeft);
}

}  // namespace
