#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/ptr_pool.h"
#include "fs/file.h"
#include "fs/file_window.h"
#include "fs/host_file_service.h"
#include "fs/mount_table.h"
#include "support/listing.h"
#include "support/temp_dir.h"

#ifdef _WIN32
#include "core/win32.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace fsys = std::filesystem;

namespace {

std::vector<u8> Iota(int n, int from = 0) {
  std::vector<u8> v(n);
  for (int i = 0; i < n; i++) v[i] = static_cast<u8>(from + i);
  return v;
}
std::vector<u8> Cat(std::vector<u8> a, const std::vector<u8> &b) {
  return a.insert(a.end(), b.begin(), b.end()), a;
}

class HostFileTest : public ::testing::Test {
 protected:
  std::unique_ptr<CHostFile> Open(const std::vector<u8> &contents, bool write = true) {
    WriteWholeFile(dir / "f.bin", contents);
    return std::unique_ptr<CHostFile>(OpenNativeFile(dir / "f.bin", write, false));
  }
  TempDir dir;
};

TEST_F(HostFileTest, ReadsSeeksWritesAndTruncation) {
  auto f = Open(Iota(20));
  ASSERT_TRUE(f);
  EXPECT_EQ(f->valid, 1u);
  u8 buf[32];
  u32 n = 0;
  EXPECT_EQ(f->Read(buf, 32, &n), FERR_EOF);  // short: EOF with the count
  EXPECT_EQ(n, 20u);
  f->Seek(0, 0);
  EXPECT_EQ(f->Read(buf, 20, nullptr), nullptr);  // the private count decides
  EXPECT_EQ(f->Read(buf, 1, nullptr), FERR_EOF);
  EXPECT_TRUE(!f->Seek(-4, 2) && f->Tell() == 16u && !f->Seek(10, 1) && f->Tell() == 26u);
  EXPECT_EQ(f->Seek(-1, 0), FERR_SEEKFAIL);
  EXPECT_EQ(f->WriteAt("abcd", 18, 4, nullptr), nullptr);
  EXPECT_EQ(f->GetSize(), 22u);
  // Past the end Truncate lengthens the file.
  EXPECT_TRUE(!f->Seek(14, 0) && !f->Truncate() && !f->Seek(16, 0) && !f->Truncate());
  EXPECT_EQ(f->Flush(), nullptr);
  uintptr_t h = 0;
  EXPECT_TRUE(!f->GetProperty(PID_HOSTHANDLE, &h, 0) && h == f->NativeHandle());
  EXPECT_EQ(f->GetProperty(0x1234, &h, 0), FERR_UNKNOWNPID);
  f.reset();
  EXPECT_EQ(ReadWholeFile(dir / "f.bin"), Cat(Iota(14), {0, 0}));
  f = Open(Iota(4), false);  // a read-only handle refuses changes
  EXPECT_NE(f->Write("x", 1, nullptr), nullptr);
  EXPECT_NE(f->Truncate(), nullptr);
}

TEST_F(HostFileTest, WindowTranslatesPositionsIntoItsParent) {
  std::vector<u8> bytes = PatternBytes(200, 9);
  std::unique_ptr<CHostFile> parent = Open(bytes);
  CFileWindow rest(parent.get(), 150, 0xFFFFFFFFu, 0);  // the rest of the parent
  EXPECT_EQ(rest.GetSize() + rest.Tell() + rest.valid, 50u);
  CFileWindow w(parent.get(), 30, 70, 0);
  u8 buf[20];
  EXPECT_EQ(w.Seek(10, 2), nullptr);  // from the end counts backwards
  EXPECT_EQ(parent->Tell(), 90u);
  EXPECT_TRUE(!w.Seek(5, 1) && !w.Seek(1, 3) && w.Tell() == 65u);
  EXPECT_TRUE(!w.Read(buf, 3, nullptr) && !memcmp(buf, &bytes[95], 3));
  EXPECT_TRUE(!w.Write("xyz", 3, nullptr) && !w.WriteAt("Q", 0, 1, nullptr));
  EXPECT_TRUE(!w.ReadAt(buf, 75, 8, nullptr) && !memcmp(buf, &bytes[105], 8));  // past the window
  parent->ReadAt(buf, 98, 3, nullptr);
  parent->ReadAt(buf + 3, 30, 1, nullptr);
  EXPECT_EQ(0, memcmp(buf, "xyzQ", 4));
  EXPECT_EQ(w.MoveData(0, 10, 20, 7, nullptr), nullptr);
  EXPECT_EQ(w.ReadAt(buf, 0, 20, nullptr), nullptr);
  EXPECT_EQ(0, memcmp(buf, &bytes[40], 20));
  uintptr_t h;
  EXPECT_EQ(w.GetProperty(PID_HOSTHANDLE, &h, 0), FERR_UNKNOWNPID);
  delete new CFileWindow(parent.release(), 100, 0xFFFFFFFFu, 1);  // closes its parent
  // Without a parent everything is refused.
  CFileWindow none(nullptr, 0, 0xFFFFFFFFu, 0);
  EXPECT_EQ(none.GetClassName(), CFile::sClassName);
  EXPECT_EQ(none.GetSize() + none.Tell(), 0u);
  for (Error e : {none.Read(buf, 1, nullptr), none.ReadAt(buf, 0, 1, nullptr), none.Write(buf, 1, nullptr),
                  none.WriteAt(buf, 0, 1, nullptr), none.Seek(0, 0), none.MoveData(0, 1, 1, 1, nullptr)})
    EXPECT_EQ(e, ERR_WHATAMESS);
}

// A service that records the paths it is handed.
int gUncounted;
struct RecordingService : CFileService {
  explicit RecordingService(int *count = &gUncounted) : destroyed(count) {}
  ~RecordingService() override { *destroyed += 1; }
  CFile *Open(const char *path, u32, Error *errorOut) override {
    if (errorOut) *errorOut = FERR_FILENOTFOUND;
    return last = path, nullptr;
  }
  u32 Exists(const char *path) override { return last = path, 1; }
  Error Move(const char *from, const char *to) override {
    return last = std::string(from) + "|" + to, nullptr;
  }
  Error FindFirst(FindRecord *record, const char *dir) override {
    return last = dir, record->service = this, nullptr;
  }
  Error FindNext(FindRecord *) override { return FERR_NOMOREFILES; }
  std::string last;
  int *destroyed;
};

class MountTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(MountTableInit(8), nullptr);
    ASSERT_EQ(RegisterService("", host), nullptr);
    ASSERT_EQ(RegisterService("DATA\\", pack), nullptr);
  }
  void TearDown() override { MountTableShutdown(); }
  RecordingService *host = new RecordingService, *pack = new RecordingService;
};

TEST_F(MountTableTest, LongestPrefixWinsThenTheOlderOfEqualNamesAndNoServiceRefusesAll) {
  Error e = nullptr;
  EXPECT_EQ(FsOpen("data\\patch.ini", 1, &e), nullptr);
  EXPECT_EQ(pack->last + e, std::string("patch.ini") + FERR_FILENOTFOUND);
  struct Case {
    const char *path;
    RecordingService *service;
    const char *rest;
  } cases[] = {{"DATA", host, "DATA"}, {"DATA\\", pack, ""}, {"DATABASE\\X", host, "DATABASE\\X"},
               {"data\\files\\", pack, "files\\"}};
  for (const Case &c : cases) {
    FsExists(c.path);
    EXPECT_EQ(c.service->last, c.rest) << c.path;
  }
  auto *second = new RecordingService;
  RegisterService("data\\", second);
  FsExists("DATA\\a");
  EXPECT_EQ(pack->last + "|" + second->last, "a|");
  // Moves stay within one service.
  EXPECT_TRUE(FsMove("DATA\\a", "C:\\b") == ERR_NOTIMPL && !FsMove("DATA\\a", "data\\b") && pack->last == "a|b");
  FindRecord r = {};
  EXPECT_TRUE(!FsFindFirst(&r, "dir") && r.service == host && FsFindNext(&r) == FERR_NOMOREFILES);
  // Unregistering needs the whole name; without a service each entry point refuses.
  EXPECT_TRUE(!UnregisterService("DATA") && UnregisterService("data\\") == pack &&
              UnregisterService("DATA\\") == second);
  delete pack;
  delete second;
  FsExists("DATA\\x");
  EXPECT_EQ(host->last, "DATA\\x");
  EXPECT_EQ(UnregisterService(""), host);
  delete host;
  EXPECT_EQ(FsOpen("a", 1, nullptr), nullptr);
  for (Error e : {FsDelete("a"), FsMakeDir("a", "b"), FsRemoveDir("a", "b"),
                  FsQuery("a", QUERY_FULLPATH, nullptr), FsExtension("a", 1, 2)})
    EXPECT_EQ(e, FERR_FILE);
  EXPECT_TRUE(!FsExists("a") && FsMove("a", "b") == ERR_NOTIMPL);
  EXPECT_TRUE(FsFindFirst(&r, "X:\\nothing") == FERR_FILE && !r.service && FsFindNext(&r) == FERR_FILE &&
              FsFindClose(&r) == FERR_FILE);
}

TEST_F(MountTableTest, FullTableRefusesAndShutdownDestroysServicesAndOwnedNames) {
  MountTableShutdown();
  ASSERT_EQ(MountTableInit(2), nullptr);
  int destroyed = 0;
  RecordingService c(&destroyed);
  // The name is the table's to free; the leak checker of the sanitizer
  // build sees it.
  char *name = static_cast<char *>(gPtrPool->Allocate(3));
  memcpy(name, "B\\", 3);
  EXPECT_EQ(RegisterService(name, new RecordingService(&destroyed), 1), nullptr);
  EXPECT_EQ(RegisterService("A\\", new RecordingService(&destroyed)), nullptr);
  EXPECT_EQ(RegisterService("C\\", &c), ERR_OUTOFRANGE);
  EXPECT_EQ(HostFsInit(), ERR_OUTOFRANGE);
  EXPECT_STREQ(MountNameOf(ResolveMount("b\\x", nullptr)), "B\\");
  FsExists("C\\x");
  EXPECT_EQ(c.last, "");
  char *owned = static_cast<char *>(gPtrPool->Allocate(4));
  MountTableShutdown();
  gPtrPool->Free(owned);
  EXPECT_EQ(destroyed, 2);
  EXPECT_EQ(RegisterService("A\\", &c), ERR_WHATAMESS);
  ASSERT_EQ(MountTableInit(8), nullptr);
}

#ifdef _WIN32
const bool kPosix = false;
void MakeReadOnly(const std::string &path) { SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY); }
#else
const bool kPosix = true;
void MakeReadOnly(const std::string &path) { chmod(path.c_str(), 0444); }
#endif

// Every entry below `root`, exactly as spelt, with a file's contents or "/"
// for a folder.
std::map<std::string, std::string> Tree(const std::string &root) {
  std::map<std::string, std::string> out;
  for (auto &e : fsys::recursive_directory_iterator(root))
    out[e.path().lexically_relative(root).generic_string()] =
        e.is_directory() ? "/" : ReadWholeText(e.path().string());
  return out;
}

class HostFsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(MountTableInit(8), nullptr);
    ASSERT_EQ(HostFsInit(), nullptr);
  }
  void TearDown() override {
    EXPECT_EQ(HostFsShutdown(), nullptr);
    MountTableShutdown();
  }
  // The parts joined by the folder's own separator, below the folder.
  std::string P(const std::string &a, const std::string &b = "", const std::string &c = "") const {
    std::string s = dir / a;
    if (!b.empty()) s += sep + b;
    if (!c.empty()) s += sep + c;
    return s;
  }
  // Opens `path` with `mode`, writes `text` and closes it: the first error.
  Error Put(const std::string &path, const std::string &text, u32 mode = 0x0F) {
    Error e = nullptr;
    std::unique_ptr<CFile> f(FsOpen(path.c_str(), mode, &e));
    if (!f) return e ? e : "(not opened)";
    return text.empty() ? nullptr : f->Write(text.data(), static_cast<u32>(text.size()), nullptr);
  }

  TempDir dir;
  std::string sep = std::string(1, dir.path().back());
};

// Files and folders made, replaced, moved and removed through the service by
// spellings of random case, against a model of a case-blind tree whose new
// names keep the spelling they were given. More folders than the service
// keeps the names of, and folders of a few hundred names.
TEST_F(HostFsTest, MatchesAModelOfACaseBlindTree) {
  std::mt19937 rng(11);
  struct Folder {
    std::string spelling;
    std::map<std::string, std::pair<std::string, std::string>> files;  // folded -> spelling, text
  };
  std::map<std::string, Folder> model = {{"", {"", {}}}};  // folded name -> folder
  auto fold = [](std::string s) { return std::transform(s.begin(), s.end(), s.begin(), ::tolower), s; };
  auto respell = [&](std::string s) {
    for (char &c : s) c = static_cast<char>(rng() % 2 ? toupper(c) : tolower(c));
    return s;
  };
  auto folderName = [&] { return respell("Dir" + std::to_string(rng() % 12)); };
  auto fileName = [&] { return respell("Tex" + std::to_string(rng() % (rng() % 4 ? 8 : 300)) + ".Dat"); };
  auto path = [&](const std::string &d, const std::string &f) { return d.empty() ? P(f) : P(d, f); };
  for (int step = 0; step < 4000; step++) {
    std::string d = rng() % 4 ? folderName() : "", f = fileName();
    Folder *m = model.count(fold(d)) ? &model[fold(d)] : nullptr;
    bool fileThere = m && m->files.count(fold(f));
    std::string text = std::to_string(step);
    SCOPED_TRACE(testing::Message() << "step " << step << " " << d << "/" << f);
    switch (rng() % 8) {
      case 0: case 1:
        ASSERT_EQ(Put(path(d, f), text), m ? nullptr : FERR_PATHNOTFOUND);
        if (fileThere) m->files[fold(f)].second = text;
        else if (m) m->files[fold(f)] = {f, text};
        break;
      case 2:
        ASSERT_EQ(Put(path(d, f), "", 0x05), !m ? FERR_PATHNOTFOUND : fileThere ? FERR_FILEEXIST : nullptr);
        if (m && !fileThere) m->files[fold(f)] = {f, ""};
        break;
      case 3:
        ASSERT_EQ(FsExists(path(d, f).c_str()), fileThere ? 1u : 0u);
        ASSERT_EQ(FsDelete(path(d, f).c_str()),
                  fileThere ? nullptr : m ? FERR_FILENOTFOUND : FERR_PATHNOTFOUND);
        if (fileThere) m->files.erase(fold(f));
        break;
      case 4:
        if (d.empty()) break;
        ASSERT_EQ(FsMakeDir(dir.path().c_str(), d.c_str()), m ? FERR_ALREADYEXISTS : nullptr);
        if (!m) model[fold(d)] = {d, {}};
        break;
      case 5:
        if (d.empty()) break;
        ASSERT_EQ(FsRemoveDir(dir.path().c_str(), d.c_str()),
                  !m ? FERR_FILENOTFOUND : m->files.empty() ? nullptr : FERR_FILE);
        if (m && m->files.empty()) model.erase(fold(d));
        break;
      default: {  // a move to another name, maybe in another folder
        std::string d2 = rng() % 2 ? d : folderName(), f2 = fileName();
        bool to = model.count(fold(d2)) != 0;
        if (fold(d2) == fold(d) && fold(f2) == fold(f)) break;  // onto itself: hosts differ
        bool taken = to && model[fold(d2)].files.count(fold(f2));
        ASSERT_EQ(FsMove(path(d, f).c_str(), path(d2, f2).c_str()),
                  !fileThere ? (m ? FERR_FILENOTFOUND : FERR_PATHNOTFOUND)
                             : !to ? FERR_PATHNOTFOUND : taken ? FERR_ALREADYEXISTS : nullptr);
        if (!fileThere || !to || taken) break;
        model[fold(d2)].files[fold(f2)] = {f2, m->files[fold(f)].second};
        m->files.erase(fold(f));
      }
    }
    if (step % 50 == 49 || step == 3999) {
      std::map<std::string, std::string> want;
      for (auto &[key, folder] : model) {
        if (!key.empty()) want[folder.spelling] = "/";
        for (auto &[k, file] : folder.files)
          want[key.empty() ? file.first : folder.spelling + "/" + file.first] = file.second;
      }
      ASSERT_EQ(Tree(dir.path()), want);
    }
  }
}

TEST_F(HostFsTest, RelativePathsStartAtTheCurrentFolder) {
  fsys::create_directory(P("Packs"));
  WriteWholeFile(P("Packs", "Data2.wdt"), "w");
  fsys::path saved = fsys::current_path();
  fsys::current_path(P("Packs"));
  Error end = nullptr;
  Listing all = ListDir(ResolveMount("", nullptr), "", &end);
  char full[kHostDirPathMax];
  Error q = FsQuery("data2.wdt", QUERY_FULLPATH, full);
  u32 relative = FsExists("DATA2.WDT");
  fsys::current_path(saved);
  EXPECT_EQ(all, (Listing{{"Data2.wdt", FATTR_ARCHIVE}}));
  EXPECT_TRUE(!q && fsys::path(full) == fsys::path(P("Packs", "data2.wdt")) && relative);
  EXPECT_EQ(Put("", "", 0x01), FERR_PATHNOTFOUND);  // empty ones go nowhere
  if (!kPosix) return;  // Windows splits paths itself
  EXPECT_EQ(FsExists((dir.path() + "PACKS\\DATA2.WDT").c_str()), 1u);
  EXPECT_EQ(FsExists((dir.path() + "packs\\\\/data2.wdt").c_str()), 1u);
  EXPECT_EQ(Put(dir.path() + "Packs\\Data2.wdt\\x", "", 0x01), FERR_PATHNOTFOUND);
  // Where names differ only in case, the exact spelling wins.
  WriteWholeFile(P("Packs", "DATA2.wdt"), "upper");
  EXPECT_EQ(Put(P("Packs", "DATA2.wdt"), "UPPER", 0x03), nullptr);
  EXPECT_EQ(ReadWholeText(P("Packs", "Data2.wdt")), "w");
}

TEST_F(HostFsTest, RefusalsOfOpenDeleteMoveAndFolders) {
  WriteWholeFile(P("f"), "contents");
  WriteWholeFile(P("ro"), "keep");
  MakeReadOnly(P("ro"));
  fsys::create_directory(P("d"));
  struct Case {
    std::string path;
    u32 mode;
    Error open;
  } opens[] = {
      {P("f"), 0x05, FERR_FILEEXIST}, {P("missing"), 0x01, FERR_FILENOTFOUND},
      {P("missing"), 0x09, FERR_FILENOTFOUND},  // replace alone
      {P("nodir", "x"), 0x01, FERR_PATHNOTFOUND}, {P("nodir", "x"), 0x0F, FERR_PATHNOTFOUND},
      {P("ro"), 0x03, FERR_ACCESSDENIED}, {P("ro"), 0x0F, FERR_ACCESSDENIED},
      {P("d"), 0x01, FERR_ACCESSDENIED}, {P("d"), 0x05, FERR_FILEEXIST},
  };
  for (const Case &c : opens) EXPECT_EQ(Put(c.path, "", c.mode), c.open) << c.path << " " << c.mode;
  EXPECT_EQ(FsOpen(P("missing").c_str(), 0x01, nullptr), nullptr);  // no errorOut
  EXPECT_EQ(FsDelete(P("ro").c_str()), FERR_ACCESSDENIED);
  EXPECT_EQ(FsDelete(P("d").c_str()), FERR_ACCESSDENIED);
  EXPECT_EQ(FsExists(P("d").c_str()) * 2 + FsExists(P("ro").c_str()), 1u);  // files only
  EXPECT_EQ(FsMove(P("f").c_str(), P("ro").c_str()), FERR_ALREADYEXISTS);
  EXPECT_EQ(FsMove(P("d").c_str(), P("e").c_str()), nullptr);  // a folder moves as well
  EXPECT_EQ(Tree(dir.path()),
            (std::map<std::string, std::string>{{"e", "/"}, {"f", "contents"}, {"ro", "keep"}}));
  // A read-only file opens for reading; hints and sharing bits change nothing.
  Error e = FERR_FILE;
  std::unique_ptr<CFile> f(FsOpen(P("ro").c_str(), 0xD1, &e));
  ASSERT_TRUE(f);
  EXPECT_EQ(e, nullptr);
  EXPECT_EQ(f->openMode, 0xD1);
  EXPECT_EQ(f->Write("x", 1, nullptr), FERR_ACCESSDENIED);
  // Folders: a name of one component, the parent itself for an empty one.
  struct Dir {
    std::string parent;
    const char *name;
    Error make, remove;
  } dirs[] = {{dir.path(), "sub\\x", ERR_BADPARAMS, ERR_BADPARAMS},
              {dir.path(), "sub/x", ERR_BADPARAMS, ERR_BADPARAMS},
              {dir.path(), "a:b", ERR_BADPARAMS, ERR_BADPARAMS},
              {dir.path(), nullptr, ERR_BADPARAMS, ERR_BADPARAMS},
              {P("e"), "", FERR_ALREADYEXISTS, FERR_FILE},
              {dir.path(), "f", FERR_ALREADYEXISTS, kPosix ? FERR_FILE : "-"},
              {P("nodir"), "x", FERR_PATHNOTFOUND, FERR_PATHNOTFOUND}, {P("e"), "in", nullptr, nullptr}};
  for (const Dir &d : dirs) EXPECT_EQ(FsMakeDir(d.parent.c_str(), d.name), d.make) << d.parent << d.name;
  EXPECT_TRUE(fsys::is_directory(P("e", "in")));  // no trailing separator needed
  for (const Dir &d : dirs) {
    if (d.remove && !strcmp(d.remove, "-")) continue;  // the host's own code
    EXPECT_EQ(FsRemoveDir(d.parent.c_str(), d.name), d.remove) << d.parent << d.name;
  }
  CFileService *host = ResolveMount("", nullptr);
  EXPECT_EQ(host->MakeDir(nullptr, "x"), ERR_BADPARAMS);
  EXPECT_EQ(host->RemoveDir(nullptr, "x"), ERR_BADPARAMS);
}

TEST_F(HostFsTest, UnallocatableFileClosesItsHandle) {
  WriteWholeFile(P("f"), "f");
  struct NoMemoryHostService : CHostFileService {  // a file object that cannot be allocated
    uintptr_t handed = 0;
    CFile *NewHostFile(uintptr_t nativeHandle, u16) override { return handed = nativeHandle, nullptr; }
  } service;
  Error e = FERR_FILE;
  EXPECT_EQ(service.Open(P("f").c_str(), 0x01, &e), nullptr);
  EXPECT_EQ(e, nullptr);
  ASSERT_NE(service.handed, 0u);
#ifndef _WIN32
  EXPECT_EQ(fcntl(static_cast<int>(service.handed), F_GETFD), -1);
#endif
  EXPECT_EQ(Put(P("f"), "", 0x01), nullptr);  // an unshared handle left open would refuse it on Windows
  EXPECT_EQ(HostFsShutdown(), nullptr);
  EXPECT_EQ(FsDelete(P("f").c_str()), FERR_FILE);  // no service any more
  EXPECT_EQ(HostFsInit(), nullptr);
}

TEST_F(HostFsTest, QueryGivesFullPathsThatFitItsBuffer) {
  char buf[kHostDirPathMax];
  EXPECT_EQ(FsQuery(P("x").c_str(), 1, buf), ERR_NOTIMPL);
  // Dots are resolved without asking the disk.
  EXPECT_EQ(FsQuery(P("a", ".", "..\\b").c_str(), QUERY_FULLPATH, buf), nullptr);
  EXPECT_EQ(fsys::path(buf), fsys::path(P("b")));
  std::string justOver = P(std::string(kHostDirPathMax - dir.path().size(), 'j'));
  for (const std::string &bad : {P(std::string(300, 'q')), justOver, std::string()}) {
    memset(buf, 'z', sizeof buf);
    EXPECT_EQ(FsQuery(bad.c_str(), QUERY_FULLPATH, buf), ERR_UNKNOWN) << bad.size();
    EXPECT_STREQ(buf, "");
  }
  justOver.pop_back();
  EXPECT_EQ(FsQuery(justOver.c_str(), QUERY_FULLPATH, buf), nullptr);
  EXPECT_EQ(std::string(buf), justOver);
}

#ifdef _WIN32
TEST_F(HostFsTest, UnsharedFileRefusesASecondOpenOnWindows) {
  WriteWholeFile(P("s"), "s");
  Error e = nullptr;
  std::unique_ptr<CFile> first(FsOpen(P("s").c_str(), 0x01, &e));
  ASSERT_TRUE(first) << ErrorText(e);
  EXPECT_EQ(Put(P("s"), "", 0x01), FERR_SHARING);
  EXPECT_EQ(FsDelete(P("s").c_str()), FERR_SHARING);
  first.reset(FsOpen(P("s").c_str(), 0xC1, &e));
  EXPECT_EQ(Put(P("s"), "", 0xC1), nullptr);
  EXPECT_EQ(FsExists(P("s").c_str()), 1u);  // even while held
}
#endif

}  // namespace
