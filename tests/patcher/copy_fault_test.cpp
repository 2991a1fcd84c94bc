// The copy engine under fault injection and hostile names. The real
// CopyTree runs in-process over a real DATA mount (a pack in a temporary
// file) and the real host file service, each wrapped by a fault-injecting
// service; the platform layer is a double that records the prompts.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive/pack_fs.h"
#include "config/catalogue.h"
#include "config/hash_ini.h"
#include "core/ptr_pool.h"
#include "core/text.h"
#include "fs/host_file_service.h"
#include "fs/mount_table.h"
#include "patcher/patcher.h"
#include "patcher/platform.h"
#include "support/fault_file.h"
#include "support/raw_pack.h"
#include "support/temp_dir.h"

// ---- The platform double -------------------------------------------------------

namespace {
std::vector<std::string> gPrompts;  // texts of the boxes shown
std::deque<int> gAnswers;           // answers of the next boxes; then Ignore
}  // namespace

namespace {
std::string HostPath(std::string p) {
  std::replace(p.begin(), p.end(), '\\', '/');
  return p;
}
}  // namespace
int PlatformMessageBox(const char *text, const char *, u32) {
  gPrompts.push_back(text);
  int a = gAnswers.empty() ? kIdIgnore : gAnswers.front();
  if (!gAnswers.empty()) gAnswers.pop_front();
  return a;
}
void PlatformExitProcess(int code) {
  ADD_FAILURE() << "the process was ended with " << code;
  abort();
}
bool PlatformReplaceFile(const char *from, const char *to) {
  return rename(HostPath(from).c_str(), HostPath(to).c_str()) == 0;
}
bool PlatformRunProgressDialog(const char *, const char *, void (*work)(void *), void *arg) {
  return work(arg), true;
}
// What the copy does not reach.
bool PlatformGetExecutablePath(char *, u32) { return false; }
PlatformRegKey *PlatformRegOpen(bool) { return nullptr; }
bool PlatformRegQueryString(PlatformRegKey *, const char *, char *, u32) { return false; }
bool PlatformRegQueryDword(PlatformRegKey *, const char *, u32 *) { return false; }
bool PlatformRegSetDword(PlatformRegKey *, const char *, u32) { return false; }
void PlatformRegClose(PlatformRegKey *) {}
int PlatformCreateMutex(const char *) { return 1; }
void PlatformProgress(const char *, u64, u64) {}
bool PlatformGetProgramsFolder(char *, u32) { return false; }
const char *PlatformShortcutExtension() { return ".lnk"; }
bool PlatformWriteShortcut(const char *, const char *, const char *, const char *, const char *) { return false; }
void PlatformStartProgram(const char *) {}
void PlatformMakeWritable(const char *) {}

namespace {

const char kIni[] = "[str]\r\ntitle=Vask Patch\r\nerrcopy=Cannot copy %s\r\nerrnotcomplete=Not complete\r\n";

std::string Pattern(size_t n, unsigned seed) {
  std::vector<unsigned char> p = PatternBytes(n, seed);
  return std::string(p.begin(), p.end());
}

// The files the game folder holds before a copy.
const char *const kOldFiles[] = {"README.TXT", "PACKS\\DATA2.WDT", "VASK.EXE"};

class CopyFaultTest : public ::testing::Test {
 protected:
  void SetUp() override { Mount(files); }
  void TearDown() override {
    delete gPatchIni;
    gPatchIni = nullptr;
    HostFsShutdown();
    MountTableShutdown();
  }

  // DATA is a pack of `tree` behind the source plan's service and file; the
  // host service under the empty name is behind the target plan.
  void Mount(const std::map<std::string, std::string> &tree) {
    RawMembers members = {{"PATCH.INI", kIni}};
    for (auto &f : tree) members.push_back({"FILES\\" + f.first, f.second});
    std::vector<u8> pack = RawPack(members);
    std::string path = dir / "patch.pak";
    WriteWholeFile(path, std::vector<unsigned char>(pack.begin(), pack.end()));
    ASSERT_EQ(MountTableInit(8), nullptr);
    ASSERT_EQ(RegisterService("", new CFaultFileService(new CHostFileService, &target)), nullptr);
    CPackFS *fs = new CPackFS();
    ASSERT_EQ(fs->OpenPack(new CFaultFile(OpenNativeFile(path, false, false), 1, &source)), nullptr);
    ASSERT_EQ(RegisterService("DATA\\", new CFaultFileService(fs, &source)), nullptr);
    gPatchIni = new CHashIni(20, 500, new CSizedPtrPool(), 1);
    ASSERT_EQ(gPatchIni->LoadIniFile("DATA\\Patch.ini"), nullptr);
    game = dir / "game/";
    ASSERT_TRUE(CopyText(gGameFolder, sizeof gGameFolder, game.c_str()));
  }

  // A fresh game folder holding old versions of some of the files (and a
  // leftover of a run cut short), then the copy of DATA\Files.
  void RunCopy() {
    ASSERT_EQ(system(("rm -rf '" + game + "' && mkdir -p '" + game + "PACKS'").c_str()), 0);
    for (const char *old : kOldFiles) WriteWholeFile(Target(old), OldContent(old));
    WriteWholeFile(game + "PACKS/~vaskpatch.tmp", std::string("cut short"));
    gPrompts.clear();
    gIncomplete = 0;
    CopyTree("DATA\\Files");
  }

  static std::string OldContent(const std::string &name) { return "old " + name; }

  std::string Target(const std::string &relative) { return game + HostPath(relative); }

  // Every file the engine did not ask about is in the game folder whole;
  // every question names a file of the patch. Returns the files asked about.
  std::vector<std::string> CheckNothingBrokenCountsAsCopied() {
    std::vector<std::string> asked;
    for (const std::string &p : gPrompts) {
      EXPECT_EQ(p.rfind("Cannot copy ", 0), 0u) << p;
      asked.push_back(p.substr(12));
      // A folder whose listing failed is asked about with its '\'.
      EXPECT_TRUE(Folder(asked.back()) || files.count(asked.back())) << "asked about " << p;
    }
    for (auto &f : files) {
      bool wasAsked = false, old = false;
      for (auto &a : asked) wasAsked |= a == f.first || (Folder(a) && f.first.rfind(a, 0) == 0);
      for (const char *o : kOldFiles) old |= f.first == o;
      // A file asked about is as it was.
      std::string t = Target(f.first), now = PathExists(t) ? ReadWholeText(t) : "(missing)";
      EXPECT_EQ(now, !wasAsked ? f.second : old ? OldContent(f.first) : "(missing)") << f.first;
    }
    // No temporary file is left anywhere; the leftover of a cut run goes
    // when the run gets to its folder, and a run that got through has none.
    std::string leftover = game + "PACKS/~vaskpatch.tmp";
    EXPECT_EQ(system(("find '" + game + "' -name '~vaskpatch.tmp' ! -path '" + leftover +
                      "' | grep . && exit 1; exit 0").c_str()), 0) << "a temporary file was left";
    EXPECT_TRUE(!PathExists(leftover) || (ReadWholeText(leftover) == "cut short" && !asked.empty()));
    EXPECT_EQ(gIncomplete, asked.empty() ? 0u : 1u);
    return asked;
  }
  static bool Folder(const std::string &name) { return name.empty() || name.back() == '\\'; }

  // Fails each operation of `op` of `plan` once, k = 1 .. its count in a
  // clean run, and checks that the failure is asked about; a torn operation
  // or an open that then passes is retried, and the copy completes.
  void EveryFailurePointAsks(CFaultPlan &plan, FaultOp op, bool torn) {
    plan.Disarm();
    RunCopy();
    EXPECT_TRUE(gPrompts.empty());
    CheckNothingBrokenCountsAsCopied();
    u32 count = plan.Count(op);
    EXPECT_TRUE((op != kFaultRead && op != kFaultWrite) || count > 3) << FaultOpName(op);
    SCOPED_TRACE(std::string(FaultOpName(op)) + (torn ? " (torn)" : ""));
    for (u32 k = 1; k <= count; k++) {
      SCOPED_TRACE("failure at operation " + std::to_string(k));
      plan.Arm(op, k, FERR_DISKFULL, torn);
      RunCopy();
      EXPECT_TRUE(plan.Fired());
      std::vector<std::string> asked = CheckNothingBrokenCountsAsCopied();
      EXPECT_EQ(asked.size(), 1u);
      if (!torn && op != kFaultOpen) continue;
      plan.Arm(op, k, FERR_READFAIL, torn);
      gAnswers = {kIdRetry};
      RunCopy();
      EXPECT_EQ(gPrompts.size(), 1u) << "after Retry";
      gPrompts.clear();
      CheckNothingBrokenCountsAsCopied();
      EXPECT_EQ(gIncomplete, 0u);
    }
    plan.Disarm();
  }

  TempDir dir;
  std::string game;
  // A patch tree: several chunks in one file, an empty file, nested folders.
  std::map<std::string, std::string> files = {
      {"README.TXT", Pattern(100, 1)}, {"PACKS\\DATA2.WDT", Pattern(70000, 2)},  // three chunks
      {"PACKS\\EMPTY.DAT", ""}, {"PACKS\\MAPS\\X.MAP", Pattern(32768, 3)}, {"VASK.EXE", Pattern(5000, 4)}};
  CFaultPlan source, target;
};

TEST_F(CopyFaultTest, EveryFailingSourceOperationLeadsToTheQuestion) {
  EveryFailurePointAsks(source, kFaultOpen, false);
  EveryFailurePointAsks(source, kFaultSeek, false);
  EveryFailurePointAsks(source, kFaultRead, false);
  EveryFailurePointAsks(source, kFaultRead, true);
}

TEST_F(CopyFaultTest, EveryFailingTargetOperationLeadsToTheQuestion) {
  EveryFailurePointAsks(target, kFaultOpen, false);
  EveryFailurePointAsks(target, kFaultWrite, false);
  EveryFailurePointAsks(target, kFaultWrite, true);
  EveryFailurePointAsks(target, kFaultSeek, false);  // none: nothing to fail
}

// Allocation failures anywhere in the copy: either everything arrives
// whole, or the run is marked incomplete.
TEST_F(CopyFaultTest, AFailedAllocationNeverPassesForACompleteCopy) {
  CFaultPlan memory;
  u32 count;
  {
    ScopedFaultPtrPool pool(&memory);
    RunCopy();
    count = memory.Count(kFaultAlloc);
  }
  ASSERT_GT(count, 0u);
  for (u32 k = 1; k <= count; k++) {
    SCOPED_TRACE("allocation " + std::to_string(k));
    {
      ScopedFaultPtrPool pool(&memory);
      memory.Arm(kFaultAlloc, k, nullptr);
      RunCopy();
    }
    EXPECT_TRUE(memory.Fired());
    CheckNothingBrokenCountsAsCopied();
    if (!gIncomplete) {
      for (auto &f : files) EXPECT_TRUE(PathExists(Target(f.first))) << f.first;
    }
  }
}

// ---- Hostile names --------------------------------------------------------------

// Names that would leave the game folder are refused and asked about, and
// nothing appears outside it; ordinary names beside them are still copied.
TEST_F(CopyFaultTest, HostileNamesAreRefusedAndAskedOrdinaryOnesCopied) {
  TearDown();
  std::map<std::string, std::string> tree = {{"GOOD.TXT", "good"}, {"SUB\\FINE.TXT", "fine"}};
  for (const std::string &n : HostileNames()) tree[n] = n;
  Mount(tree);
  // The game folder sits two levels down, so that ".." has room to land.
  game = dir / "a/b/game/";
  ASSERT_TRUE(CopyText(gGameFolder, sizeof gGameFolder, game.c_str()));
  ASSERT_EQ(system(("mkdir -p '" + game + "'").c_str()), 0);
  std::set<std::string> before = PathsOutside(dir.path(), "a/b/game");
  RunCopy();
  EXPECT_EQ(before, PathsOutside(dir.path(), "a/b/game")) << "written outside";
  EXPECT_EQ(gIncomplete, 1u);
  EXPECT_GE(gPrompts.size(), 10u);
  EXPECT_EQ(ReadWholeText(Target("GOOD.TXT")), "good");
  EXPECT_EQ(ReadWholeText(Target("SUB\\FINE.TXT")), "fine");
}

}  // namespace
