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

std::string Registry(const std::string &path, const char *version, const char *language) {
  std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lorvenest\\Vask]\n";
  if (!path.empty()) text += "\"Path\"=\"" + path + "\"\n";
  if (version) text += std::string("\"GameVersion\"=dword:") + version + "\n";
  if (language) text += std::string("\"Language\"=\"") + language + "\"\n";
  return text + "\"Other\"=\"kept\"\n\n[HKEY_CURRENT_USER\\Software\\Elsewhere]\n\"x\"=dword:00000001\n";
}

bool Has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

int Count(const std::string &haystack, const std::string &needle) {
  int n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
    n++;
  return n;
}

// Everything below a folder: each path with its mode and bytes.
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

// A game installation of 1.01 (English), the patch's files and catalogue,
// and the patcher run against them.
struct Game {
  Game() {
    game = dir / "game";
    for (const char *d : {"game/packs", "programs", "tmp", "home", "src/files/Maps/Deep/Deeper",
                          "src/files/GameSpy Arcade"})
      fsys::create_directories(dir / d);
    WriteWholeFile(game + "/Vask.exe", std::string("old game executable"));
    WriteWholeFile(dir / "registry.reg", Registry(game + "/", "00010001", "English"));
    ini = ReadWholeText(VASK_TEST_DATA "/Patch.ini");
    files = dir / "src/files";
    WriteWholeFile(files + "/VASK.EXE", std::string("new game executable"));
    WriteWholeFile(files + "/Readme.txt", PatternBytes(70000, 1));
    WriteWholeFile(files + "/empty.dat", std::string());
    WriteWholeFile(files + "/Maps/x.map", PatternBytes(40000, 2));
    WriteWholeFile(files + "/Maps/Deep/Deeper/y.map", PatternBytes(3, 3));
    WriteWholeFile(files + "/GameSpy Arcade/ArcadeInstallFull101b.EXE",
                   std::string("#!/bin/sh\ntouch \"$(dirname \"$0\")/../installer-ran\"\n"));
  }

  // Builds the patch from `files` and `ini`; true on success.
  bool Build() {
    WriteWholeFile(dir / "src/Patch.ini", ini);
    patch = dir / "patch.bin";
    std::vector<std::string> args = {PATCHKIT_BIN, "build", "--stub", VASKPATCH_BIN, "--ini",
                                     dir / "src/Patch.ini", "--files", files, "-o", patch};
    if (!check) args.push_back("--no-check");
    ProcessResult r = RunProcess(args, {}, "");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    chmod(patch.c_str(), 0755);
    return r.exitCode == 0;
  }

  ProcessResult Apply(const std::string &answers, const std::string &exe = "",
                    const std::function<bool()> &killWhen = nullptr) {
    return RunProcess({exe.empty() ? patch : exe},
                      {{"VASKPATCH_REGISTRY", dir / "registry.reg"},
                       {"VASKPATCH_PROGRAMS", dir / "programs"},
                       {"TMPDIR", dir / "tmp"},
                       {"HOME", dir / "home"},
                       {"ASAN_OPTIONS", leakCheck ? "detect_leaks=1" : "detect_leaks=0"}},
                      answers, 120, killWhen);
  }

  std::string Reg() { return ReadWholeText(dir / "registry.reg"); }
  std::string In(const std::string &rel) { return ReadWholeText(game + "/" + rel); }
  void SetRegistry(const std::string &path, const char *version, const char *language) {
    WriteWholeFile(dir / "registry.reg", Registry(path, version, language));
  }

  // packs/local.wdt made by patchkit (a pool or a pack, LZSS or not) from
  // LOCAL/strings3.ini and LOCAL/strings.ini.
  void MakeLanguageArchive(const std::string &kind, const std::string &language,
                           const std::string &peon, bool lzss) {
    std::string src = dir / "lang", plain = dir / "local";
    fsys::create_directories(src + "/LOCAL");
    WriteWholeFile(src + "/LOCAL/strings3.ini", "[system]\nlanguage = " + language + "\n");
    WriteWholeFile(src + "/LOCAL/strings.ini", "[objects]\npeon = " + peon + "\nfarm = Farm\n");
    std::string target = game + "/packs/local.wdt";
    EXPECT_EQ(RunProcess({PATCHKIT_BIN, kind, src, lzss ? plain : target}, {}, "").exitCode, 0);
    if (lzss) {
      EXPECT_EQ(RunProcess({PATCHKIT_BIN, "lzss", "compress", plain, target}, {}, "").exitCode, 0);
    }
  }

  TempDir dir;
  std::string game, files, ini, patch;
  bool leakCheck = true;  // under the sanitizers, at each run's exit
  bool check = true;      // the builder's check of the catalogue
  int lock = -1;          // a held mutex
  ~Game() { if (lock >= 0) close(lock); }
};

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

const char kNoVask[] = "is not installed on this computer", kTooOld[] = "This patch needs VASK 1.01 or later.",
           kWelcome[] = "This will update VASK: The Salt Road to version 1.09.",
           kAsk[] = "Update it to version 1.09?", kDone[] = "VASK has been updated to version 1.09.",
           kWrongLanguage[] = "This patch is for the English version", kNew[] = "\"GameVersion\"=dword:00010009",
           kIncomplete[] = "The update did not complete.";

// One run: what is done to the fresh game before the build, the answers,
// the exit code, texts the output shows in this order and texts it must not
// show, and what is checked after. A refusal (`same`) changes nothing.
struct Scenario {
  typedef std::vector<std::string> Texts;
  typedef std::function<void(Game &, const std::string &)> After;
  std::string what;
  std::function<void(Game &)> before;
  std::string answers;
  int code;
  Texts says, never = {};
  After after = nullptr;
  bool same = false;
  std::string exe = "";  // instead of the patch
};

std::vector<Scenario> Scenarios() {
  auto registry = [](const std::string &path, const char *version, const char *language) {
    return [=](Game &g) { g.SetRegistry(path.empty() ? g.game + "/" : path, version, language); };
  };
  auto brokenCopy = [](Game &g) { fsys::create_directories(g.game + "/MAPS/X.MAP"); };
  std::vector<Scenario> s = {
      {"complete",
       [](Game &g) {
         for (const char *d : {"programs/Vask", "programs/Games/VASK", "programs/Other"})
           fsys::create_directories(g.dir / d);
         // A cut run's leftover goes, also in a folder that holds only folders.
         fsys::create_directories(g.game + "/MAPS/DEEP");
         WriteWholeFile(g.game + "/MAPS/DEEP/~vaskpatch.tmp", "cut short");
         // An existing read-only file with another case is replaced in place.
         WriteWholeFile(g.game + "/readme.TXT", std::string("old"));
         chmod((g.game + "/readme.TXT").c_str(), 0444);
       },
       "y\ny\n\n", 0,
       {"Updating VASK. Please, wait...", "Install GameSpy Arcade now?", kDone}, {kWelcome},
       [](Game &g, const std::string &out) {
         EXPECT_TRUE(Has(out, "VASK: The Salt Road 1.01 is installed in\n" + g.game + "/\n" + kAsk)) << out;
         EXPECT_EQ(g.In("Vask.exe"), "new game executable");
         EXPECT_EQ(ReadWholeFile(g.game + "/readme.TXT"), PatternBytes(70000, 1));
         for (const char *none : {"VASK.EXE", "README.TXT", "MAPS/DEEP/~vaskpatch.tmp"})
           EXPECT_FALSE(PathExists(g.game + "/" + none)) << none;
         struct stat st;
         EXPECT_TRUE(stat((g.game + "/readme.TXT").c_str(), &st) == 0 && (st.st_mode & S_IWUSR));
         EXPECT_TRUE(PathExists(g.game + "/EMPTY.DAT") && g.In("EMPTY.DAT").empty());
         EXPECT_EQ(ReadWholeFile(g.game + "/MAPS/X.MAP"), PatternBytes(40000, 2));
         EXPECT_EQ(ReadWholeFile(g.game + "/MAPS/DEEP/DEEPER/Y.MAP"), PatternBytes(3, 3));
         std::string reg = g.Reg();
         EXPECT_TRUE(Has(reg, kNew) && Has(reg, "\"Other\"=\"kept\"") &&
                     Has(reg, "[HKEY_CURRENT_USER\\Software\\Elsewhere]")) << reg;
         // One shortcut in each folder named vask, none in Programs itself.
         std::string entry = ReadWholeText(g.dir / "programs/Vask/Zel Online.desktop");
         EXPECT_TRUE(Has(entry, "Name=Zel Online") && Has(entry, "zel/zelclient.exe")) << entry;
         EXPECT_TRUE(PathExists(g.dir / "programs/Games/VASK/Zel Online.desktop"));
         for (const char *none : {"programs/Zel Online.desktop", "programs/Other/Zel Online.desktop"})
           EXPECT_FALSE(PathExists(g.dir / none)) << none;
         // The installer was started on Yes.
         for (int i = 0; i < 200 && !PathExists(g.game + "/installer-ran"); i++) usleep(20000);
         EXPECT_TRUE(PathExists(g.game + "/installer-ran"));
       }},
      // Without a folder named vask the shortcut goes to Programs itself.
      {"path without a separator", [](Game &g) { g.SetRegistry(g.game, "00010001", "English"); }, "y\nn\n\n", 0,
       {kWelcome, kDone}, {"is installed in"},
       [](Game &g, const std::string &) {
         EXPECT_EQ(g.In("Vask.exe"), "new game executable");
         EXPECT_TRUE(PathExists(g.dir / "programs/Zel Online.desktop"));
         usleep(200000);
         EXPECT_FALSE(PathExists(g.game + "/installer-ran"));
       }},
      // No welcome2, lang, zel_shortcut or gamespy: plain welcome, no language
      // check, no shortcut, no installer question; an empty Files folder.
      {"minimal catalogue",
       [](Game &g) {
         g.ini = "[str]\ntitle = T\nwelcome = W\nver = 10009\nvermin = 10001\ndone = D\n";
         fsys::remove_all(g.files);
         fsys::create_directories(g.files);
         g.SetRegistry(g.game + "/", "00010001", "Klingon");
         g.check = false;
       },
       "y\n\n", 0, {"== T ==\nW\n", "== T ==\nD\n"}, {},
       [](Game &g, const std::string &out) {
         EXPECT_EQ(Count(out, "== T =="), 3) << out;  // welcome, dialog, done
         EXPECT_TRUE(fsys::is_empty(g.dir / "programs"));
         EXPECT_TRUE(Has(g.Reg(), kNew));
       }},
      // FILES\ + 245 characters fits the pack, but DATA\Files\ + the same does
      // not fit the copy engine's 256-byte paths. The tree is reached through a
      // short link so that its host paths stay within the host's limit.
      {"member path too long for the buffers",
       [](Game &g) {
         fsys::create_directories(g.files + "/" + std::string(125, 'a'));
         WriteWholeFile(g.files + "/" + std::string(125, 'a') + "/" + std::string(119, 'b'), "deep");
         std::string link = "/tmp/vk" + std::to_string(getpid());
         fsys::remove(link);
         fsys::create_directory_symlink(g.files, link);
         g.files = link;
       },
       "y\ni\n\n", 0, {"could not be copied", kIncomplete}, {},
       [](Game &g, const std::string &) {
         fsys::remove(g.files);
         EXPECT_EQ(g.In("Vask.exe"), "new game executable");
       }},
      // A folder where a file must go cannot be replaced; the other files are.
      {"copy failure, retry, ignore", brokenCopy, "y\nr\ni\n\n", 0, {kIncomplete}, {kDone},
       [](Game &g, const std::string &out) {
         EXPECT_EQ(Count(out, "The file MAPS\\X.MAP could not be copied."), 2) << out;
         EXPECT_FALSE(Has(g.Reg(), "dword:00010009"));
         EXPECT_FALSE(PathExists(g.dir / "programs/Zel Online.desktop"));
         EXPECT_EQ(g.In("Vask.exe"), "new game executable");
       }},
      {"copy failure, abort", brokenCopy, "y\na\n\n", 255, {kIncomplete}, {kDone},
       [](Game &g, const std::string &) { EXPECT_FALSE(Has(g.Reg(), "dword:00010009")); }},
      {"bare patcher", nullptr, "\n", 255, {"== VASK Patch ==\nPatch file is broken!"}, {}, nullptr,
       true, VASKPATCH_BIN},
      // Patches of other tools, without a checksum record, are proven as far
      // as they can be and apply as before.
      {"no checksum record",
       [](Game &g) {
         std::string tree = g.dir / "tree";
         fsys::create_directories(tree);
         fsys::copy(g.files, tree + "/Files", fsys::copy_options::recursive);
         WriteWholeFile(tree + "/Files/noise.bin", PatternBytes(40000, 9));
         WriteWholeFile(tree + "/Patch.ini", g.ini);
         AssembleByHand(tree, g.dir / "hand.bin");
       },
       "y\nn\n\n", 0, {kDone}, {},
       [](Game &g, const std::string &) {
         EXPECT_EQ(g.In("Vask.exe"), "new game executable");
         EXPECT_EQ(ReadWholeFile(g.game + "/NOISE.BIN"), PatternBytes(40000, 9));
         EXPECT_TRUE(Has(g.Reg(), kNew));
       },
       false, "hand.bin"},
      // The version range is inclusive (the game of every run is at the oldest)
      // and the language ignores case.
      {"at the newest version", registry("", "00010009", "ENGLISH"), "y\nn\n\n", 0, {kDone}},
      // Refusals: -1, and neither files nor registry change.
      {"declined", nullptr, "n\n", 255, {kAsk}, {}, nullptr, true},
      {"end of input is a decline", nullptr, "", 255, {}, {}, nullptr, true},
      {"missing key",
       [](Game &g) { WriteWholeFile(g.dir / "registry.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n"); },
       "y\n\n", 255, {kWelcome + std::string("\nDo you want"), kNoVask}, {}, nullptr, true},
      {"missing game executable", [](Game &g) { fsys::remove(g.game + "/Vask.exe"); }, "y\n\n", 255,
       {kNoVask}, {}, nullptr, true},
      // 255 characters leave no room for the separator; 300 do not fit at all.
      {"path of 255", registry("/" + std::string(254, 'p'), "00010001", "English"), "y\n\n", 255,
       {kNoVask}, {}, nullptr, true},
      {"path of 300", registry("/" + std::string(299, 'p'), "00010001", "English"), "y\n\n", 255,
       {kNoVask}, {}, nullptr, true},
      {"unreadable version", registry("", nullptr, "English"), "y\n\n", 255, {kTooOld}, {}, nullptr, true},
      {"older version", registry("", "00010000", "English"), "y\n\n", 255, {kTooOld}, {}, nullptr, true},
      {"newer version", registry("", "0001000a", "English"), "y\n\n", 255,
       {"A newer version of VASK is already installed."}, {}, nullptr, true},
      {"wrong language", registry("", "00010001", "German"), "y\n\n", 255, {kWrongLanguage}, {}, nullptr,
       true},
      // A held mutex is refused after the welcome.
      {"held mutex",
       [](Game &g) {
         g.lock = open((g.dir / "tmp/Vask_The_Salt_Road_Ver_01.lock").c_str(), O_RDWR | O_CREAT, 0644);
         ASSERT_EQ(flock(g.lock, LOCK_EX | LOCK_NB), 0);
       },
       "y\n\n", 255, {kAsk, "VASK or another patch is running."}, {}, nullptr, true},
      // An archive that is neither a pool nor a pack passes the language check.
      {"unknown language archive",
       [](Game &g) { WriteWholeFile(g.game + "/packs/local.wdt", PatternBytes(5000, 7)); }, "y\nn\n\n",
       0, {kDone}},
  };
  // The language archive is read in every form; its language and its
  // peasant's name must both be English.
  for (const char *kind : {"pool", "pack"})
    for (bool lzss : {false, true})
      for (auto c : {std::make_pair("German", "Peasant"), std::make_pair("english", "Bauer"),
                     std::make_pair("english", "peasant")}) {
        std::string language = c.first, peon = c.second;
        bool ok = peon == "peasant";
        s.push_back({std::string(kind) + (lzss ? " in LZSS, " : ", ") + language + " " + peon,
                     [=](Game &g) { g.MakeLanguageArchive(kind, language, peon, lzss); },
                     ok ? "y\nn\n\n" : "y\n\n", ok ? 0 : 255,
                     {ok ? kDone : kWrongLanguage}, {}, nullptr, !ok});
      }
  return s;
}

TEST(PatcherScenarioTest, EachRunEndsAsItShould) {
  for (const Scenario &c : Scenarios()) {
    SCOPED_TRACE(c.what);
    Game g;
    if (c.before) c.before(g);
    if (testing::Test::HasFatalFailure()) return;
    ASSERT_TRUE(g.Build());
    const auto files = Snapshot(g.game);
    const std::string registry = g.Reg();
    ProcessResult r = g.Apply(c.answers, c.exe.empty() || c.exe[0] == '/' ? c.exe : g.dir / c.exe);
    EXPECT_EQ(r.exitCode, c.code) << r.output;
    size_t at = 0;
    for (const std::string &m : c.says) {
      at = r.output.find(m, at);
      EXPECT_NE(at, std::string::npos) << m << " in\n" << r.output;
      if (at == std::string::npos) break;
    }
    for (const std::string &m : c.never) EXPECT_FALSE(Has(r.output, m)) << m << " in\n" << r.output;
    if (c.same) {
      EXPECT_EQ(Snapshot(g.game), files);
      EXPECT_EQ(g.Reg(), registry);
    }
    if (c.after) c.after(g, r.output);
  }
}

class PatcherTest : public ::testing::Test, protected Game {};

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
  const std::string registry = Reg();
  const auto before = Snapshot(game);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    auto bytes = good;
    c.damage(bytes);
    WriteWholeFile(patch, bytes);
    ProcessResult r = Apply("y\n\n");
    EXPECT_EQ(r.exitCode, 255) << r.output;
    EXPECT_TRUE(Has(r.output, "== VASK Patch ==\nPatch file is broken!\n")) << r.output;
    EXPECT_EQ(Snapshot(game), before);
    EXPECT_EQ(Reg(), registry);
  }
}

// A run killed at any moment leaves every game file old or new, whole, and
// the next run removes what it left behind and completes.
TEST_F(PatcherTest, KilledRunsLeaveEveryFileOldOrNew) {
  const int kFiles = 4;
  const size_t kSize = 1 << 20;
  leakCheck = false;  // killed runs have none to report; the others are many
  auto name = [](int i) { return "Data/PART" + std::to_string(i) + ".BIN"; };
  fsys::remove_all(files);
  fsys::create_directories(files + "/Data");
  for (int i = 0; i < kFiles; i++) WriteWholeFile(files + "/" + name(i), PatternBytes(kSize, i));
  ASSERT_TRUE(Build());
  auto reset = [&] {
    fsys::remove_all(game + "/Data");
    fsys::create_directories(game + "/Data");
    for (int i = 0; i < kFiles; i++) WriteWholeFile(game + "/" + name(i), "old " + name(i));
  };
  // The copy's span, watched from outside: from the first temporary file
  // seen to the last file in place (a new file is the only one of its size).
  typedef std::chrono::steady_clock Clock;
  const Clock::time_point none{};
  // Started once a temporary file or a new file is seen: on a busy machine
  // the watch may miss every temporary file.
  auto started = [&] {
    if (PathExists(game + "/Data/~vaskpatch.tmp")) return true;
    std::error_code ec;
    for (int i = 0; i < kFiles; i++)
      if (fsys::file_size(game + "/" + name(i), ec) == kSize) return true;
    return false;
  };
  auto allNew = [&] {
    bool all = true;
    for (int i = 0; i < kFiles; i++)
      all &= PathExists(game + "/" + name(i)) && fsys::file_size(game + "/" + name(i)) == kSize;
    return all;
  };
  reset();
  Clock::time_point start = Clock::now(), first{}, last{};
  ASSERT_EQ(Apply("y\nn\n\n", "", [&] {
              if (first == none && started()) first = Clock::now();
              if (first != none && last == none && allNew()) last = Clock::now();
              return false;
            }).exitCode, 0);
  // On a busy machine the watch may miss either end: the run's own bounds
  // then stand in for them.
  first = first == none ? start : first, last = last == none ? Clock::now() : last;
  long span = std::chrono::duration_cast<std::chrono::microseconds>(last - first).count() + 1;
  std::mt19937 rng(20261207);
  int cut = 0;
  for (int k = 0; k < 20; k++) {
    reset();
    // The first kill follows the start at once; a run that got through
    // uncut halves the span the later delays are drawn from.
    long delay = k == 0 ? 0 : static_cast<long>(rng() % static_cast<unsigned>(span));
    SCOPED_TRACE("killed " + std::to_string(delay) + " us into a copy of " + std::to_string(span));
    Clock::time_point seen{};
    ProcessResult r = Apply("y\nn\n\n", "", [&] {
      if (seen == none && started()) seen = Clock::now();
      return seen != none && std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - seen).count() >= delay;
    });
    int fresh = 0;
    for (int i = 0; i < kFiles; i++) {
      auto bytes = ReadWholeFile(game + "/" + name(i));
      bool isNew = bytes == PatternBytes(kSize, i);
      EXPECT_TRUE(isNew || std::string(bytes.begin(), bytes.end()) == "old " + name(i)) << name(i);
      fresh += isNew;
    }
    cut += r.exitCode != 0 && fresh < kFiles;
    if (r.exitCode == 0) span = std::max(1L, span / 2);
    // The next run removes what this one left behind and completes.
    r = Apply("y\nn\n\n");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    for (int i = 0; i < kFiles; i++) EXPECT_EQ(ReadWholeFile(game + "/" + name(i)), PatternBytes(kSize, i));
    for (auto &e : fsys::recursive_directory_iterator(game)) EXPECT_NE(e.path().filename(), "~vaskpatch.tmp");
  }
  EXPECT_GT(cut, 0) << "no kill fell in the middle of the copy";
}

// A disk that fills up in the middle of a file leaves that file's old
// content whole and asks about it. Needs a small file system of its own:
// root's tmpfs mount.
TEST_F(PatcherTest, FullDiskLeavesTheOldFileWhole) {
  std::string small = dir / "small", smallGame = dir / "small/game";
  fsys::create_directories(small);
  if (geteuid() != 0 || system(("mount -t tmpfs -o size=1m tmpfs '" + small + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "a 1 MiB tmpfs cannot be mounted here (needs root and mount rights)";
  fsys::create_directories(smallGame);
  WriteWholeFile(smallGame + "/Vask.exe", std::string("old game executable"));
  WriteWholeFile(smallGame + "/BIG.DAT", PatternBytes(400000, 5));
  SetRegistry(smallGame + "/", "00010001", "English");
  fsys::remove_all(files);
  fsys::create_directories(files);
  WriteWholeFile(files + "/VASK.EXE", std::string("new game executable"));
  WriteWholeFile(files + "/BIG.DAT", PatternBytes(700000, 6));
  bool built = Build();
  ProcessResult r = built ? Apply("y\ni\n\n") : ProcessResult();
  auto big = ReadWholeFile(smallGame + "/BIG.DAT");
  auto exe = ReadWholeText(smallGame + "/Vask.exe");
  bool tempLeft = PathExists(smallGame + "/~vaskpatch.tmp");
  EXPECT_EQ(system(("umount '" + small + "'").c_str()), 0);
  ASSERT_TRUE(built);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "The file BIG.DAT could not be copied.")) << r.output;
  EXPECT_TRUE(Has(r.output, kIncomplete));
  EXPECT_TRUE(big == PatternBytes(400000, 5)) << "the old BIG.DAT was damaged";
  EXPECT_EQ(exe, "new game executable");
  EXPECT_FALSE(tempLeft);
}

}  // namespace
