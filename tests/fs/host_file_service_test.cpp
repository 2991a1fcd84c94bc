#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fs/file.h"
#include "fs/host_file_service.h"
#include "fs/mount_table.h"
#include "support/listing.h"
#include "support/temp_dir.h"

#ifdef _WIN32
#include "core/win32.h"
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#endif

namespace fsys = std::filesystem;

namespace {

// The host service with a file object that cannot be allocated.
class NoMemoryHostService : public CHostFileService {
 public:
  uintptr_t handed = 0;

 protected:
  CFile *NewHostFile(uintptr_t nativeHandle, u16) override {
    handed = nativeHandle;
    return nullptr;
  }
};

// The host's listing of `dirPath`, sorted.
Listing ListAll(const std::string &dirPath, Error *endOut) {
  Listing out = ListDir(ResolveMount("", nullptr), dirPath.c_str(), endOut);
  std::sort(out.begin(), out.end());
  return out;
}

// The names of a folder, sorted.
std::vector<std::string> NamesIn(const std::string &folder) {
  std::vector<std::string> names;
  for (auto &entry : fsys::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
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
  // The folder's own separator between the parts.
  std::string P(const std::string &a, const std::string &b = "",
                const std::string &c = "") const {
    std::string s = dir / a;
    if (!b.empty()) s += sep + b;
    if (!c.empty()) s += sep + c;
    return s;
  }
  CFile *Open(const std::string &path, u32 mode, Error *e) {
    return FsOpen(path.c_str(), mode, e);
  }
  // Opens `path` with `mode`, writes `text` and closes it: the first error.
  Error Put(const std::string &path, const std::string &text, u32 mode = 0x0F) {
    Error e = nullptr;
    std::unique_ptr<CFile> f(FsOpen(path.c_str(), mode, &e));
    if (!f) return e ? e : "(not opened)";
    return text.empty() ? nullptr : f->Write(text.data(), static_cast<u32>(text.size()), nullptr);
  }
  // The code of an open that should fail; a file opened anyway is closed.
  Error OpenError(const std::string &path, u32 mode) {
    Error e = nullptr;
    std::unique_ptr<CFile> f(FsOpen(path.c_str(), mode, &e));
    return f ? "(opened)" : e;
  }

  TempDir dir;
  std::string sep = std::string(1, dir.path().back());
};

#ifdef _WIN32
const bool kPosix = false;
void MakeReadOnly(const std::string &path) {
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
}
#else
const bool kPosix = true;
void MakeReadOnly(const std::string &path) { chmod(path.c_str(), 0444); }
#endif

TEST_F(HostFsTest, PathsReachTheHostUntilShutdown) {
  ASSERT_EQ(Put(P("a.txt"), "hello"), nullptr);
  EXPECT_EQ(ReadWholeText(P("a.txt")), "hello");
  EXPECT_EQ(FsExtension(P("x").c_str(), 1, 2), ERR_NOTIMPL);
  CFileService *host = ResolveMount("C:\\x", nullptr);
  ASSERT_TRUE(host);
  Error e = FERR_FILE;
  EXPECT_EQ(host->GetDataOffset("x", &e), 0u);
  EXPECT_EQ(e, nullptr);

  // Gone after shutdown: the paths find no service.
  EXPECT_EQ(HostFsShutdown(), nullptr);
  EXPECT_EQ(FsDelete(P("a.txt").c_str()), FERR_FILE);
  EXPECT_EQ(HostFsInit(), nullptr);
}

// Moves between services are the mount table's test.
TEST_F(HostFsTest, MoveRefusesATakenNameAndAMissingSource) {
  WriteWholeFile(P("x"), "x");
  WriteWholeFile(P("y"), "y");
  EXPECT_EQ(FsMove(P("x").c_str(), P("y").c_str()), FERR_ALREADYEXISTS);
  EXPECT_EQ(ReadWholeText(P("x")), "x");
  EXPECT_EQ(ReadWholeText(P("y")), "y");
  EXPECT_EQ(FsMove(P("gone").c_str(), P("z").c_str()), FERR_FILENOTFOUND);
  EXPECT_EQ(FsMove(P("x").c_str(), P("nodir", "z").c_str()),
            FERR_PATHNOTFOUND);
  // A folder moves as well.
  fsys::create_directory(P("d"));
  EXPECT_EQ(FsMove(P("d").c_str(), P("e").c_str()), nullptr);
  EXPECT_TRUE(fsys::is_directory(P("e")));
}

TEST_F(HostFsTest, ListingYieldsFilesAndSubfolderWithoutDots) {
  WriteWholeFile(P("a.txt"), "a");
  WriteWholeFile(P("b.dat"), "bb");
  fsys::create_directory(P("sub"));
  std::string folder = dir.path().substr(0, dir.path().size() - 1);
  for (const std::string &d : {folder, dir.path(), folder + "\\"}) {
    Error end = nullptr;
    auto all = ListAll(d, &end);
    EXPECT_EQ(end, FERR_NOMOREFILES);
    ASSERT_EQ(all.size(), 3u) << d;
    EXPECT_EQ(all[0].first, "a.txt");
    EXPECT_EQ(all[1].first, "b.dat");
    EXPECT_EQ(all[2].first, "sub");
    // A written file is an archive candidate; a folder only a folder.
    EXPECT_EQ(all[0].second, FATTR_ARCHIVE);
    EXPECT_EQ(all[2].second, FATTR_DIRECTORY);
  }
}

TEST_F(HostFsTest, ListingRecordLifecycleWithEmptyAndMissingFolders) {
  WriteWholeFile(P("only"), "1");
  FindRecord r{};
  ASSERT_EQ(FsFindFirst(&r, dir.path().c_str()), nullptr);
  EXPECT_EQ(r.service, ResolveMount("", nullptr));
  EXPECT_NE(r.buffer, nullptr);
  EXPECT_STREQ(r.name, "only");
  EXPECT_EQ(FsFindNext(&r), FERR_NOMOREFILES);
  EXPECT_EQ(FsFindNext(&r), FERR_NOMOREFILES);  // stays at the end
  EXPECT_NE(r.buffer, nullptr);
  CFileService *host = r.service;
  EXPECT_EQ(FsFindClose(&r), nullptr);
  EXPECT_EQ(r.service, nullptr);
  EXPECT_EQ(r.word, 0u);
  EXPECT_EQ(r.buffer, nullptr);
  EXPECT_EQ(r.attributes, 0u);
  EXPECT_EQ(r.name, nullptr);
  EXPECT_EQ(host->FindClose(&r), ERR_BADPARAMS);
  EXPECT_EQ(host->FindNext(&r), ERR_BADPARAMS);
  EXPECT_EQ(host->FindFirst(&r, nullptr), ERR_BADPARAMS);

  // An empty folder ends at once but needs its FindClose; a missing one
  // leaves the record zeroed.
  fsys::create_directory(P("empty"));
  EXPECT_EQ(FsFindFirst(&r, P("empty").c_str()), FERR_NOMOREFILES);
  ASSERT_NE(r.buffer, nullptr);
  EXPECT_EQ(FsFindClose(&r), nullptr);
  r.attributes = 7;
  EXPECT_EQ(FsFindFirst(&r, P("missing").c_str()), FERR_PATHNOTFOUND);
  EXPECT_EQ(r.service, nullptr);
  EXPECT_EQ(r.buffer, nullptr);
  EXPECT_EQ(r.attributes, 0u);
  EXPECT_EQ(FsFindNext(&r), FERR_FILE);
}

TEST_F(HostFsTest, EmptyFolderPathListsTheCurrentFolder) {
  WriteWholeFile(P("here.txt"), "h");
  fsys::path saved = fsys::current_path();
  fsys::current_path(dir.path());
  Error end = nullptr;
  auto all = ListAll("", &end);
  char full[kHostDirPathMax];
  Error q = FsQuery("here.txt", QUERY_FULLPATH, full);
  fsys::current_path(saved);
  EXPECT_EQ(end, FERR_NOMOREFILES);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].first, "here.txt");
  EXPECT_EQ(q, nullptr);
  EXPECT_EQ(fsys::path(full), fsys::path(P("here.txt")));
}

TEST_F(HostFsTest, ReadOnlyFileRefusesWritingAndDeletion) {
  WriteWholeFile(P("ro"), "keep");
  MakeReadOnly(P("ro"));
  EXPECT_EQ(OpenError(P("ro"), 0x03), FERR_ACCESSDENIED);
  EXPECT_EQ(OpenError(P("ro"), 0x0F), FERR_ACCESSDENIED);
  Error e = nullptr;
  std::unique_ptr<CFile> f(Open(P("ro"), 0x01, &e));
  EXPECT_TRUE(f);
  f.reset();
  EXPECT_EQ(FsDelete(P("ro").c_str()), FERR_ACCESSDENIED);
  EXPECT_EQ(ReadWholeText(P("ro")), "keep");
  EXPECT_EQ(FsExists(P("ro").c_str()), 1u);
  Error end;
  auto all = ListAll(dir.path(), &end);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].second, FATTR_READONLY | FATTR_ARCHIVE);
}

TEST_F(HostFsTest, FoldersAreMadeOnceAndRemovedOnlyWhenEmpty) {
  const char *parent = dir.path().c_str();
  for (const char *bad : {"sub\\x", "sub/x", "a:b"}) {
    EXPECT_EQ(FsMakeDir(parent, bad), ERR_BADPARAMS) << bad;
  }
  EXPECT_EQ(FsMakeDir(parent, nullptr), ERR_BADPARAMS);
  EXPECT_EQ(FsRemoveDir(parent, "a:b"), ERR_BADPARAMS);
  CFileService *host = ResolveMount("", nullptr);
  EXPECT_EQ(host->MakeDir(nullptr, "x"), ERR_BADPARAMS);
  EXPECT_EQ(host->RemoveDir(nullptr, "x"), ERR_BADPARAMS);
  EXPECT_TRUE(fsys::is_empty(dir.path()));

  EXPECT_EQ(FsMakeDir(parent, "NEW"), nullptr);
  EXPECT_TRUE(fsys::is_directory(P("NEW")));
  EXPECT_EQ(FsMakeDir(parent, "NEW"), FERR_ALREADYEXISTS);
  // Without the trailing separator the same folder is meant.
  EXPECT_EQ(FsMakeDir(P("NEW").c_str(), "inner"), nullptr);
  EXPECT_TRUE(fsys::is_directory(P("NEW", "inner")));
  // An empty name is the parent itself.
  EXPECT_EQ(FsMakeDir(P("NEW").c_str(), ""), FERR_ALREADYEXISTS);
  EXPECT_EQ(FsMakeDir(P("nodir").c_str(), "x"), FERR_PATHNOTFOUND);
  // A name taken by a file is taken.
  WriteWholeFile(P("file"), "f");
  EXPECT_EQ(FsMakeDir(parent, "file"), FERR_ALREADYEXISTS);
  // Only empty folders are removed.
  EXPECT_EQ(FsRemoveDir(parent, "NEW"), FERR_FILE);
  EXPECT_EQ(FsRemoveDir(P("NEW").c_str(), "inner"), nullptr);
  EXPECT_FALSE(PathExists(P("NEW", "inner")));
  EXPECT_EQ(FsRemoveDir(P("NEW").c_str(), "inner"), FERR_FILENOTFOUND);
  EXPECT_EQ(FsRemoveDir(parent, "NEW"), nullptr);
}

TEST_F(HostFsTest, OpenModesCreateReplaceAndRequireExistence) {
  WriteWholeFile(P("f"), "contents");
  Error e = nullptr;
  EXPECT_EQ(OpenError(P("f"), 0x05), FERR_FILEEXIST);
  EXPECT_EQ(ReadWholeText(P("f")), "contents");

  std::unique_ptr<CFile> f(Open(P("f"), 0x0F, &e));
  ASSERT_TRUE(f);
  EXPECT_EQ(e, nullptr);
  EXPECT_EQ(f->GetSize(), 0u);
  EXPECT_EQ(f->openMode, 0x0F);
  f.reset();

  EXPECT_EQ(OpenError(P("missing"), 0x01), FERR_FILENOTFOUND);
  EXPECT_EQ(OpenError(P("missing"), 0x09), FERR_FILENOTFOUND);  // replace alone
  EXPECT_EQ(OpenError(P("nodir", "missing"), 0x01), FERR_PATHNOTFOUND);
  EXPECT_EQ(OpenError(P("nodir", "missing"), 0x0F), FERR_PATHNOTFOUND);
  EXPECT_FALSE(PathExists(P("missing")));
  EXPECT_EQ(Open(P("missing"), 0x01, nullptr), nullptr);  // no errorOut

  ASSERT_EQ(Put(P("new"), "abc", 0x07), nullptr);
  EXPECT_EQ(ReadWholeText(P("new")), "abc");

  f.reset(Open(P("new"), 0xD1, &e));  // hints and sharing on a plain read
  ASSERT_TRUE(f);
  char buf[3];
  EXPECT_EQ(f->Read(buf, 3, nullptr), nullptr);
  EXPECT_EQ(std::string(buf, 3), "abc");
  EXPECT_EQ(f->Write("x", 1, nullptr), FERR_ACCESSDENIED);
}

TEST_F(HostFsTest, FoldersAreNotFiles) {
  fsys::create_directory(P("d"));
  EXPECT_EQ(OpenError(P("d"), 0x01), FERR_ACCESSDENIED);
  EXPECT_EQ(OpenError(P("d"), 0x05), FERR_FILEEXIST);
  EXPECT_EQ(FsExists(P("d").c_str()), 0u);
  EXPECT_EQ(FsDelete(P("d").c_str()), FERR_ACCESSDENIED);
  EXPECT_TRUE(fsys::is_directory(P("d")));
  EXPECT_EQ(FsExists(P("nothing").c_str()), 0u);
  EXPECT_EQ(FsDelete(P("nothing").c_str()), FERR_FILENOTFOUND);
  EXPECT_EQ(FsDelete(P("nodir", "x").c_str()), FERR_PATHNOTFOUND);
}

TEST_F(HostFsTest, UnallocatableFileClosesItsHandle) {
  WriteWholeFile(P("f"), "f");
  NoMemoryHostService service;
  Error e = FERR_FILE;
  EXPECT_EQ(service.Open(P("f").c_str(), 0x01, &e), nullptr);
  EXPECT_EQ(e, nullptr);
  ASSERT_NE(service.handed, 0u);
#ifndef _WIN32
  EXPECT_EQ(fcntl(static_cast<int>(service.handed), F_GETFD), -1);
#endif
  // An unshared handle left open would refuse this on Windows.
  std::unique_ptr<CFile> f(Open(P("f"), 0x01, &e));
  EXPECT_TRUE(f);
  EXPECT_EQ(e, nullptr);
}

TEST_F(HostFsTest, QueryGivesFullPathsOnly) {
  char buf[kHostDirPathMax];
  EXPECT_EQ(FsQuery(P("x").c_str(), 1, buf), ERR_NOTIMPL);
  EXPECT_EQ(FsQuery(P("x").c_str(), QUERY_FULLPATH, buf), nullptr);
  EXPECT_EQ(fsys::path(buf), fsys::path(P("x")));
  // Dots are resolved without asking the disk.
  std::string dotted = P("a", "..", "b");
  EXPECT_EQ(FsQuery(dotted.c_str(), QUERY_FULLPATH, buf), nullptr);
  EXPECT_EQ(fsys::path(buf), fsys::path(P("b")));
  // A result that needs more than the buffer.
  std::string longPath = P(std::string(300, 'q'));
  memset(buf, 'z', sizeof buf);
  EXPECT_EQ(FsQuery(longPath.c_str(), QUERY_FULLPATH, buf), ERR_UNKNOWN);
  EXPECT_STREQ(buf, "");
  // A full path one byte too long for the buffer, from a short enough input.
  std::string justOver = P(std::string(kHostDirPathMax - dir.path().size(), 'j'));
  ASSERT_EQ(justOver.size(), kHostDirPathMax);
  EXPECT_EQ(FsQuery(justOver.c_str(), QUERY_FULLPATH, buf), ERR_UNKNOWN);
  justOver.pop_back();
  EXPECT_EQ(FsQuery(justOver.c_str(), QUERY_FULLPATH, buf), nullptr);
  EXPECT_EQ(std::string(buf), justOver);
  memset(buf, 'z', sizeof buf);
  EXPECT_EQ(FsQuery("", QUERY_FULLPATH, buf), ERR_UNKNOWN);
  EXPECT_STREQ(buf, "");
}

TEST_F(HostFsTest, OverlongPathsAreRefused) {
  std::string longPath = P(std::string(kHostPathMax, 'L'));
  EXPECT_EQ(OpenError(longPath, 0x0F), ERR_BADPARAMS);
  EXPECT_EQ(FsExists(longPath.c_str()), 0u);
  EXPECT_EQ(FsDelete(longPath.c_str()), ERR_BADPARAMS);
  EXPECT_EQ(FsMove(longPath.c_str(), P("y").c_str()), ERR_BADPARAMS);
  EXPECT_EQ(FsMove(P("y").c_str(), longPath.c_str()), ERR_BADPARAMS);

  // parent + '\' + name must fit 256 bytes with its NUL.
  std::string parent = "nodir" + std::string(200, 'p');
  std::string fits(kHostDirPathMax - 2 - parent.size(), 'n');
  EXPECT_EQ(FsMakeDir(parent.c_str(), fits.c_str()), FERR_PATHNOTFOUND);
  EXPECT_EQ(FsMakeDir(parent.c_str(), (fits + "n").c_str()), ERR_BADPARAMS);
  EXPECT_EQ(FsRemoveDir(parent.c_str(), (fits + "n").c_str()), ERR_BADPARAMS);
  // A parent that ends in '\' gets no second one.
  EXPECT_EQ(FsMakeDir((parent + "\\").c_str(), fits.c_str()),
            FERR_PATHNOTFOUND);

  // dirPath + '\' + "*.*" must fit 512 bytes with its NUL.
  std::string folder(kHostPatternMax - 5, 'f');
  FindRecord r{};
  EXPECT_NE(FsFindFirst(&r, folder.c_str()), ERR_BADPARAMS);
  EXPECT_EQ(FsFindFirst(&r, (folder + "f").c_str()), ERR_BADPARAMS);
  EXPECT_EQ(r.buffer, nullptr);
  EXPECT_TRUE(fsys::is_empty(dir.path()));
}

TEST_F(HostFsTest, NamesMatchWithoutRegardToCase) {
  fsys::create_directory(P("Game"));
  WriteWholeFile(P("Game", "Vask.exe"), "old");
  ASSERT_EQ(Put(P("GAME", "VASK.EXE"), "NEW", 0x03), nullptr);
  EXPECT_EQ(ReadWholeText(P("Game", "Vask.exe")), "NEW");
  // Create-or-replace empties the existing file instead of adding one.
  ASSERT_EQ(Put(P("game", "vask.EXE"), ""), nullptr);
  EXPECT_EQ(ReadWholeFile(P("Game", "Vask.exe")).size(), 0u);
  // A new name lands, as given, in the existing folder.
  ASSERT_EQ(Put(P("GAME", "New.txt"), ""), nullptr);
  EXPECT_EQ(NamesIn(dir.path()), std::vector<std::string>{"Game"});
  EXPECT_EQ(NamesIn(P("Game")),
            (std::vector<std::string>{"New.txt", "Vask.exe"}));

  EXPECT_EQ(FsExists(P("gAmE", "vAsK.eXe").c_str()), 1u);
  EXPECT_EQ(OpenError(P("GAME", "VASK.EXE"), 0x05), FERR_FILEEXIST);
  EXPECT_EQ(FsMakeDir(dir.path().c_str(), "GAME"), FERR_ALREADYEXISTS);
  EXPECT_EQ(FsMove(P("GAME", "NEW.TXT").c_str(), P("game", "new.txt").c_str()),
            nullptr);
  EXPECT_TRUE(PathExists(P("Game", "new.txt")));
  EXPECT_EQ(FsDelete(P("GAME", "NEW.TXT").c_str()), nullptr);
  EXPECT_EQ(FsRemoveDir(P("game", "").c_str(), "SUB"), FERR_FILENOTFOUND);
}

TEST_F(HostFsTest, BothSeparatorsWorkOnPosix) {
  if (!kPosix) GTEST_SKIP() << "Windows splits paths itself";
  fsys::create_directory(P("Packs"));
  WriteWholeFile(P("Packs", "Data2.wdt"), "w");
  std::string mixed = dir.path() + "PACKS\\DATA2.WDT";
  EXPECT_EQ(FsExists(mixed.c_str()), 1u);
  std::string doubled = dir.path() + "packs\\\\/data2.wdt";
  EXPECT_EQ(FsExists(doubled.c_str()), 1u);
  // The file on the way is not a folder.
  std::string through = dir.path() + "Packs\\Data2.wdt\\x";
  EXPECT_EQ(OpenError(through, 0x01), FERR_PATHNOTFOUND);
  // Relative paths start at the current folder, empty ones nowhere.
  fsys::path saved = fsys::current_path();
  fsys::current_path(dir.path());
  u32 relative = FsExists("packs/DATA2.wdt");
  fsys::current_path(saved);
  EXPECT_EQ(relative, 1u);
  EXPECT_EQ(OpenError("", 0x01), FERR_PATHNOTFOUND);
}

TEST_F(HostFsTest, ExactSpellingWinsOverOtherCasesOnPosix) {
  if (!kPosix) GTEST_SKIP() << "names that differ only in case cannot coexist";
  WriteWholeFile(P("a.txt"), "lower");
  WriteWholeFile(P("A.txt"), "upper");
  Error e = nullptr;
  std::unique_ptr<CFile> f(Open(P("A.txt"), 0x01, &e));
  ASSERT_TRUE(f);
  char buf[5];
  EXPECT_EQ(f->Read(buf, 5, nullptr), nullptr);
  EXPECT_EQ(std::string(buf, 5), "upper");
  f.reset(Open(P("a.TXT"), 0x01, &e));
  ASSERT_TRUE(f);  // one of the two
}

#ifndef _WIN32
// Sets a folder's times `secondsAgo` into the past, so that any change made
// afterwards gives it a time of its own even where the host stamps coarsely.
void AgeFolder(const std::string &folder, int secondsAgo) {
  struct timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= secondsAgo;
  times[1] = times[0];
  ASSERT_EQ(utimensat(AT_FDCWD, folder.c_str(), times, 0), 0);
}
#endif

TEST_F(HostFsTest, FolderChangedBehindOurBackIsSeenOnPosix) {
#ifndef _WIN32
  fsys::create_directory(P("Data"));
  WriteWholeFile(P("Data", "Old.txt"), "old");
  std::string added = P("DATA", "NEW.TXT"), old = P("data", "OLD.TXT");
  // Each lookup of a missing spelling needs the folder's names.
  AgeFolder(P("Data"), 100);
  EXPECT_EQ(FsExists(added.c_str()), 0u);
  WriteWholeFile(P("Data", "New.txt"), "new");
  EXPECT_EQ(FsExists(added.c_str()), 1u);

  AgeFolder(P("Data"), 90);
  EXPECT_EQ(FsExists(added.c_str()), 1u);
  ASSERT_EQ(unlink(P("Data", "New.txt").c_str()), 0);
  EXPECT_EQ(FsExists(added.c_str()), 0u);

  AgeFolder(P("Data"), 80);
  EXPECT_EQ(FsExists(old.c_str()), 1u);
  ASSERT_EQ(rename(P("Data", "Old.txt").c_str(), P("Data", "oLD.tXT").c_str()),
            0);
  // Found under its new spelling: replaced in place, not created beside it.
  ASSERT_EQ(Put(old, "NEW"), nullptr);
  EXPECT_EQ(NamesIn(P("Data")), std::vector<std::string>{"oLD.tXT"});
  EXPECT_EQ(ReadWholeText(P("Data", "oLD.tXT")), "NEW");
#else
  GTEST_SKIP() << "the host finds names without regard to case itself";
#endif
}

TEST_F(HostFsTest, ManyNewFilesInOneFolderStillFindTheMixedCaseOnes) {
  fsys::create_directory(P("Data"));
  const int kOld = 300;
  char name[32];
  for (int i = 0; i < kOld; i++) {
    snprintf(name, sizeof name, "Tex%03d.Dat", i);
    WriteWholeFile(P("Data", name), "old");
  }
  for (int i = 0; i < kOld; i++) {
    snprintf(name, sizeof name, "NEW%03d.DAT", i);
    ASSERT_EQ(Put(P("DATA", name), ""), nullptr) << name;
    // Every third step rewrites an existing file by another spelling.
    if (i % 3 == 0) {
      snprintf(name, sizeof name, "TEX%03d.DAT", i);
      EXPECT_EQ(FsExists(P("data", name).c_str()), 1u) << name;
      ASSERT_EQ(Put(P("DATA", name), "NEW"), nullptr) << name;
    }
  }
  std::vector<std::string> names = NamesIn(P("Data"));
  ASSERT_EQ(names.size(), 2u * kOld);
  for (int i = 0; i < kOld; i++) {
    snprintf(name, sizeof name, "NEW%03d.DAT", i);
    EXPECT_EQ(names[i], name);
    snprintf(name, sizeof name, "Tex%03d.Dat", i);
    EXPECT_EQ(names[kOld + i], name);
    EXPECT_EQ(ReadWholeText(P("Data", name)), i % 3 == 0 ? "NEW" : "old");
  }
}

TEST_F(HostFsTest, OurOwnNewSpellingsAreFoundByTheNextLookup) {
  fsys::create_directory(P("Data"));
  WriteWholeFile(P("Data", "Keep.txt"), "k");
  EXPECT_EQ(FsExists(P("DATA", "FRESH.BIN").c_str()), 0u);
  ASSERT_EQ(Put(P("DATA", "Fresh.bin"), ""), nullptr);
  EXPECT_EQ(FsExists(P("data", "FRESH.BIN").c_str()), 1u);
  EXPECT_EQ(OpenError(P("DATA", "fresh.BIN"), 0x05), FERR_FILEEXIST);

  // A new spelling of the same file, then a folder and a file inside it.
  EXPECT_EQ(FsMove(P("data", "FRESH.BIN").c_str(), P("data", "fReSh.bin").c_str()),
            nullptr);
  EXPECT_EQ(FsExists(P("DATA", "FRESH.BIN").c_str()), 1u);
  EXPECT_EQ(FsMakeDir(P("data").c_str(), "Sub"), nullptr);
  EXPECT_EQ(FsMakeDir(P("DATA").c_str(), "SUB"), FERR_ALREADYEXISTS);
  ASSERT_EQ(Put(P("DATA", "SUB", "In.txt"), ""), nullptr);
  // (Wine keeps the old spelling of a file moved onto itself.)
  if (kPosix) {
    EXPECT_EQ(NamesIn(P("Data")),
              (std::vector<std::string>{"Keep.txt", "Sub", "fReSh.bin"}));
  }
  EXPECT_EQ(NamesIn(P("Data", "Sub")), std::vector<std::string>{"In.txt"});

  // Gone names are gone, and may come back in another spelling.
  EXPECT_EQ(FsDelete(P("DATA", "FRESH.BIN").c_str()), nullptr);
  EXPECT_EQ(FsExists(P("DATA", "FRESH.BIN").c_str()), 0u);
  EXPECT_EQ(FsDelete(P("DATA", "SUB", "IN.TXT").c_str()), nullptr);
  EXPECT_EQ(FsRemoveDir(P("data").c_str(), "SUB"), nullptr);
  EXPECT_EQ(OpenError(P("DATA", "SUB", "IN.TXT"), 0x0F), FERR_PATHNOTFOUND);
  ASSERT_EQ(Put(P("DATA", "FRESH.BIN"), ""), nullptr);
  EXPECT_EQ(NamesIn(P("Data")),
            (std::vector<std::string>{"FRESH.BIN", "Keep.txt"}));
}

TEST_F(HostFsTest, HiddenAndReadOnlyFolderAttributesOnPosix) {
  if (!kPosix) GTEST_SKIP() << "the host sets its own hidden bit";
  WriteWholeFile(P(".cfg"), "c");
  fsys::create_directory(P("ro"));
  fsys::permissions(P("ro"), fsys::perms::owner_write,
                    fsys::perm_options::remove);
  Error end;
  auto all = ListAll(dir.path(), &end);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].second, FATTR_HIDDEN | FATTR_ARCHIVE);
  EXPECT_EQ(all[1].second, FATTR_READONLY | FATTR_DIRECTORY);
}

TEST_F(HostFsTest, HostErrorsMapByMeaningOnPosix) {
#ifndef _WIN32
  WriteWholeFile(P("f"), "f");
  // No descriptor left: TOOMANYOPENFILES.
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  int next = dup(0);
  ASSERT_GE(next, 0);
  close(next);
  struct rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(next);
  // Only plain calls while the limit is down: the sanitizers' own checks
  // may need a descriptor.
  std::string path = P("f");
  Error e = nullptr;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  CFile *none = FsOpen(path.c_str(), 0x01, &e);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(none, nullptr);
  delete none;
  EXPECT_EQ(e, FERR_TOOMANYOPENFILES);
  // Writing through a descriptor opened for reading is refused access.
  std::unique_ptr<CFile> f(Open(P("f"), 0x01, &e));
  ASSERT_TRUE(f);
  EXPECT_EQ(f->Write("x", 1, nullptr), FERR_ACCESSDENIED);
#else
  GTEST_SKIP() << "the Windows codes come from the host itself";
#endif
}

TEST_F(HostFsTest, UnsharedFileRefusesASecondOpenOnWindows) {
  if (kPosix) GTEST_SKIP() << "POSIX has no sharing modes";
  WriteWholeFile(P("s"), "s");
  Error e = nullptr;
  std::unique_ptr<CFile> first(Open(P("s"), 0x01, &e));
  ASSERT_TRUE(first) << ErrorText(e);
  EXPECT_EQ(OpenError(P("s"), 0x01), FERR_SHARING);
  EXPECT_EQ(FsDelete(P("s").c_str()), FERR_SHARING);
  first.reset();
  first.reset(Open(P("s"), 0xC1, &e));
  ASSERT_TRUE(first);
  std::unique_ptr<CFile> second(Open(P("s"), 0xC1, &e));
  EXPECT_TRUE(second);
  EXPECT_EQ(e, nullptr);
  EXPECT_EQ(FsExists(P("s").c_str()), 1u);  // even while held
}

}  // namespace
