#include <gtest/gtest.h>

#include <string>

#include "core/ptr_pool.h"
#include "fs/file.h"
#include "fs/mount_table.h"

// A service that records the paths it is handed.
class RecordingService : public CFileService {
 public:
  explicit RecordingService(int *destroyed = nullptr) : destroyed(destroyed) {}
  ~RecordingService() override {
    if (destroyed) ++*destroyed;
  }
  CFile *Open(const char *path, u32, Error *errorOut) override {
    last = path;
    if (errorOut) *errorOut = FERR_FILENOTFOUND;
    return nullptr;
  }
  u32 Exists(const char *path) override {
    last = path;
    return 1;
  }
  Error Move(const char *from, const char *to) override {
    last = std::string(from) + "|" + to;
    return nullptr;
  }
  Error FindFirst(FindRecord *record, const char *dir) override {
    last = dir;
    record->service = this;
    return nullptr;
  }
  Error FindNext(FindRecord *) override { return FERR_NOMOREFILES; }
  Error FindClose(FindRecord *) override { return nullptr; }
  std::string last;
  int *destroyed;
};

class MountTableTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(MountTableInit(8), nullptr); }
  void TearDown() override { MountTableShutdown(); }
};

TEST_F(MountTableTest, LongestPrefixWinsCaseInsensitively) {
  auto *host = new RecordingService;
  auto *pack = new RecordingService;
  ASSERT_EQ(RegisterService("", host), nullptr);
  ASSERT_EQ(RegisterService("DATA\\", pack), nullptr);

  Error e = nullptr;
  FsOpen("data\\patch.ini", 1, &e);
  EXPECT_EQ(pack->last, "patch.ini");
  EXPECT_EQ(e, FERR_FILENOTFOUND);
  FsOpen("DATA", 1, nullptr);
  EXPECT_EQ(host->last, "DATA");
  FsOpen("DATA\\", 1, nullptr);
  EXPECT_EQ(pack->last, "");
  FsExists("DATABASE\\X");
  EXPECT_EQ(host->last, "DATABASE\\X");
  FsExists("data\\files\\");
  EXPECT_EQ(pack->last, "files\\");
}

TEST_F(MountTableTest, MoveAcrossServicesIsNotImplemented) {
  auto *host = new RecordingService;
  auto *pack = new RecordingService;
  RegisterService("", host);
  RegisterService("DATA\\", pack);
  EXPECT_EQ(FsMove("DATA\\a", "C:\\b"), ERR_NOTIMPL);
  EXPECT_EQ(host->last, "");
  EXPECT_EQ(pack->last, "");
  EXPECT_EQ(FsMove("DATA\\a", "data\\b"), nullptr);
  EXPECT_EQ(pack->last, "a|b");
}

TEST_F(MountTableTest, FindOnARecordWithoutServiceAnswersFile) {
  FindRecord r = {};
  EXPECT_EQ(FsFindFirst(&r, "X:\\nothing"), FERR_FILE);  // nothing mounted
  EXPECT_EQ(r.service, nullptr);
  EXPECT_EQ(FsFindNext(&r), FERR_FILE);
  EXPECT_EQ(FsFindClose(&r), FERR_FILE);
  auto *host = new RecordingService;
  RegisterService("", host);
  EXPECT_EQ(FsFindFirst(&r, "dir"), nullptr);
  EXPECT_EQ(r.service, host);
  EXPECT_EQ(FsFindNext(&r), FERR_NOMOREFILES);
  EXPECT_EQ(FsFindClose(&r), nullptr);
}

TEST_F(MountTableTest, NoServiceResultsPerEntryPoint) {
  EXPECT_EQ(FsOpen("a", 1, nullptr), nullptr);
  EXPECT_EQ(FsDelete("a"), FERR_FILE);
  EXPECT_EQ(FsMakeDir("a", "b"), FERR_FILE);
  EXPECT_EQ(FsRemoveDir("a", "b"), FERR_FILE);
  EXPECT_EQ(FsExists("a"), 0u);
  EXPECT_EQ(FsQuery("a", QUERY_FULLPATH, nullptr), FERR_FILE);
  EXPECT_EQ(FsExtension("a", 1, 2), FERR_FILE);
  EXPECT_EQ(FsMove("a", "b"), ERR_NOTIMPL);
}

TEST_F(MountTableTest, BaseServiceDefaults) {
  auto *plain = new CFileService;
  RegisterService("", plain);
  Error e = FERR_EOF;
  EXPECT_EQ(FsOpen("x", 1, &e), nullptr);
  EXPECT_EQ(e, FERR_EOF);  // untouched
  EXPECT_EQ(FsDelete("x"), ERR_NOTIMPL);
  EXPECT_EQ(FsQuery("x", QUERY_FULLPATH, nullptr), ERR_NOTIMPL);
  EXPECT_EQ(plain->GetDataOffset("x", &e), 0u);
  EXPECT_EQ(e, nullptr);
}

TEST_F(MountTableTest, UnregisterNeedsTheWholeName) {
  auto *host = new RecordingService;
  auto *pack = new RecordingService;
  RegisterService("", host);
  RegisterService("DATA\\", pack);
  EXPECT_EQ(UnregisterService("DATA"), nullptr);
  EXPECT_EQ(UnregisterService("data\\"), pack);
  delete pack;
  FsExists("DATA\\x");
  EXPECT_EQ(host->last, "DATA\\x");
  EXPECT_EQ(UnregisterService(""), host);
  delete host;
  EXPECT_EQ(FsExists("anything"), 0u);
}

TEST_F(MountTableTest, EqualNamesKeepTheOlderEntryWinning) {
  auto *first = new RecordingService;
  auto *second = new RecordingService;
  RegisterService("DATA\\", first);
  RegisterService("data\\", second);
  FsExists("DATA\\a");
  EXPECT_EQ(first->last, "a");
  EXPECT_EQ(second->last, "");
}

TEST_F(MountTableTest, FullTableRefusesAndShutdownDestroysServices) {
  MountTableShutdown();
  ASSERT_EQ(MountTableInit(2), nullptr);
  int destroyed = 0;
  auto *a = new RecordingService(&destroyed);
  auto *b = new RecordingService(&destroyed);
  RecordingService c(&destroyed);
  EXPECT_EQ(RegisterService("B\\", b), nullptr);
  EXPECT_EQ(RegisterService("A\\", a), nullptr);
  EXPECT_EQ(RegisterService("C\\", &c), ERR_OUTOFRANGE);
  FsExists("C\\x");
  EXPECT_EQ(c.last, "");
  char *owned = static_cast<char *>(gPtrPool->Allocate(4));
  MountTableShutdown();
  gPtrPool->Free(owned);
  EXPECT_EQ(destroyed, 2);
  EXPECT_EQ(RegisterService("A\\", &c), ERR_WHATAMESS);
  ASSERT_EQ(MountTableInit(8), nullptr);
}

TEST_F(MountTableTest, OwnedNamesAreReleasedWithTheirEntry) {
  char *name = static_cast<char *>(gPtrPool->Allocate(6));
  memcpy(name, "DATA\\", 6);
  ASSERT_EQ(RegisterService(name, new RecordingService, 1), nullptr);
  EXPECT_STREQ(MountNameOf(ResolveMount("DATA\\x", nullptr)), "DATA\\");
  // Shutdown frees the name; the leak checker of the sanitizer build sees it.
}
