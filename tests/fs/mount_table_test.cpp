#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/ptr_pool.h"
#include "fs/file.h"
#include "fs/mount_table.h"

// A service that records the paths it is handed.
int gUncounted;
struct RecordingService : CFileService {
  explicit RecordingService(int *count = &gUncounted) : destroyed(count) {}
  ~RecordingService() override { *destroyed += 1; }
  CFile *Open(const char *path, u32, Error *errorOut) override { return last = path, *errorOut = FERR_FILENOTFOUND, nullptr; }
  u32 Exists(const char *path) override { return last = path, 1; }
  Error Move(const char *from, const char *to) override { return last = std::string(from) + "|" + to, nullptr; }
  Error FindFirst(FindRecord *record, const char *dir) override { return last = dir, record->service = this, nullptr; }
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

TEST_F(MountTableTest, LongestPrefixWinsCaseInsensitivelyAndTheOlderOfEqualNames) {
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
  EXPECT_EQ(pack->last, "a");
  EXPECT_EQ(second->last, "");
  // Moves stay within one service.
  EXPECT_EQ(FsMove("DATA\\a", "C:\\b"), ERR_NOTIMPL);
  EXPECT_EQ(FsMove("DATA\\a", "data\\b"), nullptr);
  EXPECT_EQ(pack->last, "a|b");
  FindRecord r = {};
  EXPECT_EQ(FsFindFirst(&r, "dir"), nullptr);
  EXPECT_EQ(r.service, host);
  EXPECT_EQ(FsFindNext(&r), FERR_NOMOREFILES);
}

TEST_F(MountTableTest, UnregisterNeedsTheWholeNameAndNoServiceAnswersPerEntryPoint) {
  EXPECT_EQ(UnregisterService("DATA"), nullptr);
  EXPECT_EQ(UnregisterService("data\\"), pack);
  delete pack;
  FsExists("DATA\\x");
  EXPECT_EQ(host->last, "DATA\\x");
  EXPECT_EQ(UnregisterService(""), host);
  delete host;
  EXPECT_EQ(FsOpen("a", 1, nullptr), nullptr);
  for (Error e : {FsDelete("a"), FsMakeDir("a", "b"), FsRemoveDir("a", "b"),
                  FsQuery("a", QUERY_FULLPATH, nullptr), FsExtension("a", 1, 2)})
    EXPECT_EQ(e, FERR_FILE);
  EXPECT_EQ(FsExists("a"), 0u);
  EXPECT_EQ(FsMove("a", "b"), ERR_NOTIMPL);
  FindRecord r = {};
  EXPECT_EQ(FsFindFirst(&r, "X:\\nothing"), FERR_FILE);
  EXPECT_EQ(r.service, nullptr);
  EXPECT_EQ(FsFindNext(&r), FERR_FILE);
  EXPECT_EQ(FsFindClose(&r), FERR_FILE);
  // The base service's answers.
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
