#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "archive/pool_fs.h"
#include "pool_test_support.h"
#include "support/listing.h"

namespace {

typedef std::unique_ptr<CFile> FilePtr;

class PoolFsTest : public ::testing::Test {
 protected:
  void SetUp() override { Create(1024); }

  void Create(u32 blockSize, u32 cacheEntries = 1, u32 maxBlocks = 0) {
    fs.reset();
    CBFHP *pool = file.Create(blockSize, 8, maxBlocks);
    ASSERT_NE(pool, nullptr);
    fs.reset(new CHPFS(pool, cacheEntries));
  }
  void Reopen(u32 cacheEntries = 1) {
    fs.reset();
    CBFHP *pool = file.Open();
    ASSERT_NE(pool, nullptr);
    fs.reset(new CHPFS(pool, cacheEntries));
  }
  CBFHP *Pool() { return static_cast<CBFHP *>(fs->Pool()); }

  Error Put(const char *path, const std::string &content) {
    Error e = nullptr;
    FilePtr f(fs->Open(path, FOM_WRITE | FOM_CREATE | FOM_REPLACE, &e));
    if (!f) return e;
    return f->Write(content.data(), static_cast<u32>(content.size()), nullptr);
  }
  std::string Get(const char *path) {
    Error e = nullptr;
    FilePtr f(fs->Open(path, FOM_READ, &e));
    if (!f) return std::string("<") + ErrorText(e) + ">";
    std::string out(f->GetSize(), '\0');
    u32 got = 0;
    EXPECT_EQ(f->Read(&out[0], static_cast<u32>(out.size()), &got), nullptr);
    EXPECT_EQ(got, out.size());
    return out;
  }
  Listing List(const char *dirPath, Error *end) { return ListDir(fs.get(), dirPath, end); }

  TempDir dir;
  PoolFileAt file{dir / "fs.pool"};
  std::unique_ptr<CHPFS> fs;
};

TEST_F(PoolFsTest, RootAndDirectoriesExistButDoNotOpen) {
  ASSERT_EQ(fs->MakeDir("", "sub"), nullptr);
  for (const char *path : {"\\", "", "/", "sub", "\\sub", "sub\\"}) {
    Error e = nullptr;
    EXPECT_EQ(fs->Open(path, FOM_READ, &e), nullptr) << path;
    EXPECT_EQ(e, ERR_UNKNOWN) << path;
    EXPECT_EQ(fs->Exists(path), 1u) << path;
  }
  EXPECT_EQ(fs->Exists("nothing"), 0u);
  Error e = nullptr;
  EXPECT_EQ(fs->Open("nothing", FOM_READ, &e), nullptr);
  EXPECT_EQ(e, ERR_NOTFOUND);
  EXPECT_EQ(fs->Open("nothing", FOM_READ, nullptr), nullptr);
  EXPECT_EQ(fs->Query("", QUERY_FULLPATH, nullptr), ERR_NOTIMPL);
  EXPECT_EQ(fs->Extension("", 1, 2), ERR_NOTIMPL);
  e = ERR_UNKNOWN;
  EXPECT_EQ(fs->GetDataOffset("sub", &e), 0u);
  EXPECT_EQ(e, nullptr);
}

TEST_F(PoolFsTest, NamesMatchCaseInsensitivelyForLettersOnly) {
  ASSERT_EQ(fs->MakeDir("", "local"), nullptr);
  ASSERT_EQ(Put("local/strings.ini", "[a]"), nullptr);
  ASSERT_EQ(Put("local/\xE4.txt", "umlaut"), nullptr);
  EXPECT_EQ(Get("LOCAL\\Strings.INI"), "[a]");
  EXPECT_EQ(Get("/Local/strings.ini"), "[a]");
  EXPECT_EQ(fs->Exists("local/\xC4.txt"), 0u);  // only A-Z fold
  EXPECT_EQ(fs->Exists("local//strings.ini"), 0u);
  EXPECT_EQ(fs->Exists("local/strings.ini/x"), 0u);
}

TEST_F(PoolFsTest, NamesLongerThan252BytesAreRefused) {
  std::string ok(252, 'n'), tooLong(253, 'n');
  EXPECT_EQ(Put(ok.c_str(), "ok"), nullptr);
  EXPECT_EQ(Get(ok.c_str()), "ok");
  u32 count = Pool()->BlockCount(), free = Pool()->FreeCount();
  EXPECT_EQ(Put(tooLong.c_str(), "no"), ERR_UNKNOWN);
  EXPECT_EQ(fs->MakeDir("", tooLong.c_str()), ERR_UNKNOWN);
  EXPECT_EQ(fs->MakeDir("", "a\\b"), ERR_UNKNOWN);
  EXPECT_EQ(fs->MakeDir("", ""), ERR_UNKNOWN);
  // The blocks taken for the refused entries were given back.
  EXPECT_EQ(Pool()->BlockCount() - Pool()->FreeCount(), count - free);
}

TEST_F(PoolFsTest, PathCacheStartsAtTheCachedDirectory) {
  ASSERT_EQ(fs->MakeDir("", "a"), nullptr);
  ASSERT_EQ(fs->MakeDir("a", "b"), nullptr);
  ASSERT_EQ(Put("a/b/c.txt", "c"), nullptr);
  ASSERT_EQ(Put("a/b/d.txt", "d"), nullptr);
  Handle b = 0;
  u16 flags = 0;
  ASSERT_EQ(fs->Lookup("a/b", &b, &flags), nullptr);
  ASSERT_EQ(fs->Exists("a/b/c.txt"), 1u);
  EXPECT_EQ(fs->CachedDirectory(0), b);
  EXPECT_STREQ(fs->CachedPath(0), "a/b");
  EXPECT_EQ(fs->CachedHits(0), 0u);
  EXPECT_EQ(fs->Exists("A/B/d.txt"), 1u);
  EXPECT_EQ(fs->CachedHits(0), 1u);
  EXPECT_EQ(fs->Exists("A\\B\\d.txt"), 1u);  // '\' is not the cached '/'
  EXPECT_EQ(fs->CachedHits(0), 1u);
  EXPECT_NE(Pool()->GetLockedPointer(b), nullptr);  // kept locked
  // A change of the directory drops it from the cache first.
  ASSERT_EQ(Put("a/b/e.txt", "e"), nullptr);
  EXPECT_EQ(Get("a/b/e.txt"), "e");
  EXPECT_EQ(Get("a/b/c.txt"), "c");
}

TEST_F(PoolFsTest, DirectoryPathsOf80CharactersOrMoreAreNeverCached) {
  std::string parent;
  std::string name(38, 'x');
  for (int i = 0; i < 2; i++) {
    ASSERT_EQ(fs->MakeDir(parent.c_str(), name.c_str()), nullptr);
    parent += (parent.empty() ? "" : "\\") + name;
  }
  std::string deeper = parent + "\\yy";  // 38 + 1 + 38 + 3 = 80 characters
  ASSERT_EQ(fs->MakeDir(parent.c_str(), "yy"), nullptr);
  ASSERT_EQ(Put((deeper + "\\f").c_str(), "f"), nullptr);
  ASSERT_EQ(fs->Exists((deeper + "\\f").c_str()), 1u);
  EXPECT_STREQ(fs->CachedPath(0), parent.c_str());  // 77 characters
  std::string shorter = parent + "\\y";                // 79 characters
  ASSERT_EQ(fs->MakeDir(parent.c_str(), "y"), nullptr);
  ASSERT_EQ(Put((shorter + "\\f").c_str(), "f"), nullptr);
  ASSERT_EQ(fs->Exists((shorter + "\\f").c_str()), 1u);
  EXPECT_STREQ(fs->CachedPath(0), shorter.c_str());
}

TEST_F(PoolFsTest, CacheVictimHasFewestHitsAndOldHitsFade) {
  Create(1024, 3);
  for (const char *d : {"p", "q", "r", "s"}) {
    ASSERT_EQ(fs->MakeDir("", d), nullptr);
    ASSERT_EQ(Put((std::string(d) + "/f").c_str(), "x"), nullptr);
  }
  ASSERT_EQ(fs->Exists("p/f"), 1u);
  ASSERT_EQ(fs->Exists("q/f"), 1u);
  ASSERT_EQ(fs->Exists("r/f"), 1u);
  EXPECT_STREQ(fs->CachedPath(0), "p");
  EXPECT_STREQ(fs->CachedPath(1), "q");
  EXPECT_STREQ(fs->CachedPath(2), "r");
  for (int i = 0; i < 20; i++) fs->Exists("p/f");
  for (int i = 0; i < 2; i++) fs->Exists("r/f");
  ASSERT_EQ(fs->Exists("s/f"), 1u);  // q has the fewest hits
  EXPECT_STREQ(fs->CachedPath(1), "s");
  EXPECT_EQ(fs->CachedHits(0), 17u);  // 20 > 4 * 3: one scan took 3
  EXPECT_EQ(fs->CachedHits(2), 2u);
}

TEST_F(PoolFsTest, SharingRulesDecideWhoMayOpenAgain) {
  ASSERT_EQ(Put("f", "data"), nullptr);
  Error e;
  const u32 R = FOM_READ, W = FOM_WRITE, SR = FOM_SHAREREAD, SW = FOM_SHAREWRITE;
  {
    FilePtr a(fs->Open("f", R | SR, &e)), b(fs->Open("f", R | SR, &e));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(fs->Open("f", W | SR, &e), nullptr);
    EXPECT_EQ(e, ERR_UNKNOWN);
    EXPECT_EQ(fs->Delete("f"), ERR_UNKNOWN);
  }
  {
    FilePtr a(fs->Open("f", R | SR | SW, &e)), b(fs->Open("f", R | SR | SW, &e));
    FilePtr c(fs->Open("f", W | SR, &e));
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(fs->Open("f", W | SR | SW, &e), nullptr);  // c shares no write
    FilePtr d(fs->Open("f", R | SR | SW, &e));              // but reading
    EXPECT_TRUE(d);
  }
  {
    FilePtr a(fs->Open("f", R, &e));
    ASSERT_TRUE(a);
    EXPECT_EQ(fs->Open("f", R | SR | SW, &e), nullptr);  // a shares nothing
  }
  EXPECT_EQ(fs->Delete("f"), nullptr);
  EXPECT_EQ(fs->Exists("f"), 0u);
}

// Order and attributes are the model test's; here the codes that end a
// listing and the record's state.
TEST_F(PoolFsTest, ListingsEndWithTheCodeOfWhatTheyMet) {
  ASSERT_EQ(Put("file.txt", "1"), nullptr);
  ASSERT_EQ(fs->MakeDir("", "dir"), nullptr);
  for (auto c : {std::make_pair("", FERR_NOMOREFILES), std::make_pair("dir", FERR_NOMOREFILES),
                 std::make_pair("file.txt", FERR_PATHNOTFOUND), std::make_pair("none", ERR_NOTFOUND)}) {
    Error end;
    EXPECT_EQ(List(c.first, &end).size(), *c.first ? 0u : 2u) << c.first;
    EXPECT_EQ(end, c.second) << c.first;
  }
  FindRecord record = {};
  ASSERT_EQ(fs->FindFirst(&record, "\\"), nullptr);
  EXPECT_EQ(record.service, fs.get());
  EXPECT_EQ(record.word, 2u * 8 + 8 + 3);
  fs->FindClose(&record);
}

TEST_F(PoolFsTest, MoveToAMissingFolderPutsTheEntryBackLast) {
  ASSERT_EQ(Put("a", "A"), nullptr);
  ASSERT_EQ(Put("b", "B"), nullptr);
  ASSERT_EQ(fs->MakeDir("", "d"), nullptr);
  EXPECT_EQ(fs->Move("a", "missing\\a"), ERR_UNKNOWN);
  Error end;
  EXPECT_EQ(List("", &end), (Listing{{"b", 0}, {"d", 16}, {"a", 0}}));
  EXPECT_EQ(fs->Move("a", "d\\A2"), nullptr);
  EXPECT_EQ(Get("D/a2"), "A");
  EXPECT_EQ(fs->Move("b", "d"), ERR_UNKNOWN);  // the name is taken
  EXPECT_EQ(fs->Move("", "x"), ERR_UNKNOWN);   // the root cannot move
  // A directory cannot move into itself, and paths through its old name
  // are gone even when they were cached.
  ASSERT_EQ(fs->MakeDir("d", "e"), nullptr);
  ASSERT_EQ(Put("d/e/f", "F"), nullptr);
  ASSERT_EQ(fs->Exists("d/e/f"), 1u);
  EXPECT_EQ(fs->Move("d", "d/e/d"), ERR_UNKNOWN);
  EXPECT_EQ(fs->Move("d", "z"), nullptr);
  EXPECT_EQ(fs->Exists("d/e/f"), 0u);
  EXPECT_EQ(Get("z/e/f"), "F");
}

// Refusals the model test does not reach: the root, and a file as parent.
TEST_F(PoolFsTest, DeleteAndFolderCallsRefuseTheRootAndFilesAsParents) {
  ASSERT_EQ(fs->MakeDir("", "d"), nullptr);
  ASSERT_EQ(Put("d/f", "x"), nullptr);
  EXPECT_EQ(fs->Delete(""), ERR_UNKNOWN);
  EXPECT_EQ(fs->RemoveDir("d/f", "x"), ERR_UNKNOWN);
  EXPECT_EQ(fs->MakeDir("d/f", "x"), ERR_UNKNOWN);
  EXPECT_EQ(Get("d/f"), "x");
}

TEST_F(PoolFsTest, FileReadsWritesSeeksAndTruncates) {
  Error e;
  FilePtr f(fs->Open("f", FOM_READ | FOM_WRITE | FOM_CREATE, &e));
  ASSERT_TRUE(f);
  u32 count = 99;
  EXPECT_EQ(f->Write("hello world", 11, &count), nullptr);
  EXPECT_EQ(count, 11u);
  EXPECT_EQ(f->Write("", 0, &count), nullptr);
  EXPECT_EQ(f->GetSize(), 11u);
  char buf[16] = {};
  EXPECT_EQ(f->Read(buf, 4, &count), nullptr);  // at the end
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(f->Read(buf, 0, nullptr), nullptr);
  EXPECT_EQ(f->Seek(-5, SEEK_FROM_END), nullptr);
  EXPECT_EQ(f->Read(buf, 10, nullptr), ERR_UNKNOWN);
  EXPECT_EQ(f->Read(buf, 10, &count), nullptr);
  EXPECT_EQ(count, 5u);
  EXPECT_STREQ(buf, "world");
  EXPECT_EQ(f->Seek(5, SEEK_FROM_START), nullptr);
  EXPECT_EQ(f->Truncate(), nullptr);
  EXPECT_EQ(f->GetSize(), 5u);
  EXPECT_EQ(f->Seek(2, 7), nullptr);
  EXPECT_EQ(f->Tell(), 5u);
  EXPECT_EQ(f->Flush(), ERR_NOTIMPL);
  f.reset();
  EXPECT_EQ(Get("f"), "hello");
  CHPFile none(Pool(), 0, FOM_READ);
  EXPECT_EQ(none.Read(buf, 1, nullptr), ERR_WHATAMESS);
  EXPECT_EQ(none.Write(buf, 1, nullptr), ERR_WHATAMESS);
  EXPECT_EQ(none.Truncate(), ERR_WHATAMESS);
  // FOM_CREATE on an existing file empties it.
  f.reset(fs->Open("f", FOM_WRITE | FOM_CREATE, &e));
  EXPECT_EQ(f->GetSize(), 0u);
}

TEST_F(PoolFsTest, AFullPoolFailsWritesAndCreationsWithARealCode) {
  Create(64, 1, 12);
  ASSERT_EQ(fs->MakeDir("", "d"), nullptr);  // root, d: blocks 1, 2, 3
  Error e;
  FilePtr f(fs->Open("d/f", FOM_WRITE | FOM_CREATE, &e));
  ASSERT_TRUE(f);
  std::string big(64 * 10, 'z');
  u32 count = 1;
  EXPECT_EQ(f->Write(big.data(), static_cast<u32>(big.size()), &count),
            FERR_DISKFULL);
  EXPECT_EQ(count, 0u);
  // Fill the last blocks, then every kind of creation must fail cleanly.
  f->Seek(0, SEEK_FROM_END);
  while (f->Write("0123456789", 10, nullptr) == nullptr) {
  }
  EXPECT_EQ(Pool()->BlockCount(), 12u);
  EXPECT_EQ(fs->MakeDir("d", "x"), FERR_DISKFULL);
  EXPECT_EQ(fs->Open("g", FOM_WRITE | FOM_CREATE, &e), nullptr);
  EXPECT_EQ(e, FERR_DISKFULL);
  // One block free again: a new entry's block fits, the grown directory
  // does not; the entry's block must come back.
  f->Seek(-64, SEEK_FROM_END);
  ASSERT_EQ(f->Truncate(), nullptr);
  f.reset();
  u32 used = Pool()->BlockCount() - Pool()->FreeCount();
  std::string name(60, 'n');
  EXPECT_EQ(fs->MakeDir("", name.c_str()), FERR_DISKFULL);
  EXPECT_EQ(fs->Open(name.c_str(), FOM_WRITE | FOM_CREATE, &e), nullptr);
  EXPECT_EQ(e, FERR_DISKFULL);
  EXPECT_EQ(Pool()->BlockCount() - Pool()->FreeCount(), used);
  EXPECT_EQ(fs->Exists(name.c_str()), 0u);
  Error end;
  EXPECT_EQ(List("d", &end), (Listing{{"f", 0}}));
}

TEST_F(PoolFsTest, FilesLeftOpenOutliveTheirFileSystemHarmlessly) {
  ASSERT_EQ(Put("f", "x"), nullptr);
  Error e;
  FilePtr f(fs->Open("f", FOM_READ, &e));
  fs.reset();
  char c;
  EXPECT_EQ(f->Read(&c, 1, nullptr), ERR_WHATAMESS);
}

// ---- Damaged directories ---------------------------------------------------

class DamagedPoolFsTest : public PoolFsTest {
 protected:
  // Rewrites the bytes of the directory `path` through the pool alone.
  void SetDirectoryBytes(const char *path, const std::vector<u8> &bytes) {
    Handle h;
    u16 flags;
    ASSERT_EQ(fs->Lookup(path, &h, &flags), nullptr);
    fs.reset();
    std::unique_ptr<CBFHP> pool(file.Open());
    ASSERT_EQ(pool->Reallocate(h, static_cast<u32>(bytes.size())), h);
    if (!bytes.empty()) {
      ASSERT_EQ(pool->Write(h, bytes.data(), 0, kToEnd), nullptr);
    }
    pool.reset();
    Reopen();
  }
  static std::vector<u8> Entry(u32 handle, u16 flags, u16 nameLength,
                               const std::string &name) {
    std::vector<u8> e(8);
    PutU32LE(e.data(), handle);
    PutU16LE(e.data() + 4, flags);
    PutU16LE(e.data() + 6, nameLength);
    e.insert(e.end(), name.begin(), name.end());
    return e;
  }
};

TEST_F(DamagedPoolFsTest, EntriesRunningPastTheDirectoryAreRefused) {
  ASSERT_EQ(fs->MakeDir("", "d"), nullptr);
  ASSERT_EQ(Put("d/ok", "ok"), nullptr);
  Handle ok;
  u16 flags;
  ASSERT_EQ(fs->Lookup("d/ok", &ok, &flags), nullptr);
  std::vector<std::vector<u8>> bad = {
      Entry(static_cast<u32>(ok), 0, 40, "short"),  // name past the end
      Entry(static_cast<u32>(ok), 0, 0, ""),        // empty name
      Entry(static_cast<u32>(ok), 0, 253, std::string(253, 'n')),
      std::vector<u8>{1, 2, 3},                     // half a header
  };
  for (auto &tail : bad) {
    std::vector<u8> bytes = Entry(static_cast<u32>(ok), 0, 2, "ok");
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    SetDirectoryBytes("d", bytes);
    EXPECT_EQ(Get("d/ok"), "ok");  // found before the damage
    EXPECT_EQ(fs->Exists("d/zz"), 0u);
    Error e;
    EXPECT_EQ(fs->Open("d/zz", FOM_READ, &e), nullptr);
    EXPECT_EQ(e, ERR_INVALIDFORMAT);
    EXPECT_EQ(fs->MakeDir("d", "new"), ERR_INVALIDFORMAT);
    Error end;
    EXPECT_EQ(List("d", &end), (Listing{{"ok", 0}}));
    EXPECT_EQ(end, ERR_INVALIDFORMAT);
    EXPECT_EQ(PoolWalk(fs.get(), [](void *, const char *, u32, u32, CFile *) -> Error {
                return nullptr;
              }, nullptr),
              ERR_INVALIDFORMAT);
  }
}

TEST_F(DamagedPoolFsTest, ADirectoryHoldingItselfDoesNotMakeWalksEndless) {
  ASSERT_EQ(fs->MakeDir("", "loop"), nullptr);
  Handle loop;
  u16 flags;
  ASSERT_EQ(fs->Lookup("loop", &loop, &flags), nullptr);
  SetDirectoryBytes("loop", Entry(static_cast<u32>(loop), 1, 4, "loop"));
  std::string deep = "loop";
  for (int i = 0; i < 60; i++) deep += "\\loop";
  EXPECT_EQ(fs->Exists(deep.c_str()), 1u);  // bounded by the path
  int visits = 0;
  EXPECT_EQ(PoolWalk(fs.get(), [](void *c, const char *, u32, u32, CFile *) -> Error {
              ++*static_cast<int *>(c);
              return nullptr;
            }, &visits),
            ERR_INVALIDFORMAT);
  EXPECT_EQ(visits, 2);
  // Entries naming blocks outside the pool.
  SetDirectoryBytes("loop", Entry(99999, 1, 1, "x"));
  EXPECT_EQ(fs->Exists("loop\\x\\y"), 0u);
  Error end;
  EXPECT_EQ(List("loop\\x", &end).size(), 0u);
  EXPECT_NE(end, nullptr);
  SetDirectoryBytes("loop", Entry(99999, 0, 1, "f"));
  Error e;
  FilePtr f(fs->Open("loop\\f", FOM_READ, &e));
  char c;
  if (f) {
    EXPECT_EQ(f->GetSize(), 0u);
    EXPECT_NE(f->Read(&c, 1, nullptr), nullptr);
  }
}

TEST_F(DamagedPoolFsTest, RootHandleOutsideThePoolFindsNothing) {
  ASSERT_EQ(Put("f", "x"), nullptr);
  fs.reset();
  file.PokeU32(28, 77777);
  Reopen();
  EXPECT_EQ(fs->Exists("f"), 0u);
  Error end;
  EXPECT_TRUE(List("", &end).empty());
  EXPECT_NE(end, nullptr);
}

}  // namespace
