#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "archive/pack_fs.h"
#include "core/endian.h"
#include "fs/mount_table.h"
#include "pack_test_support.h"
#include "support/listing.h"
#include "support/temp_dir.h"

namespace {

typedef std::unique_ptr<CPackFS> FsPtr;
typedef std::unique_ptr<CFile> FilePtr;

const Members kSmallPack = {
    {"FILES\\A.TXT", "alpha"},
    {"FILES\\SUB\\B.TXT", "0123456789"},
    {"FILES\\SUB\\D.TXT", "delta"},
    {"PATCH.INI", "[str]\nver=10003\n"},
};

FsPtr OpenFs(const Bytes &pack, Error *error = nullptr) {
  FsPtr fs(new CPackFS());
  Error e = fs->OpenPack(new CMemFile(pack));
  if (error) *error = e;
  return fs;
}

std::string ReadMember(CFile *file) {
  std::string s(file->GetSize(), '\0');
  EXPECT_EQ(file->Read(&s[0], static_cast<u32>(s.size()), nullptr), nullptr);
  return s;
}

// A pack with one hand-made record whose payload says (offset, size).
Bytes PackWithMember(u32 offset, u32 size) {
  Bytes pack(kPackMagic, kPackMagic + 18);
  pack.resize(40, 0);
  Bytes dir = {1, 0, 'A', 0, 0, 0, 0, 0, 0, 0, 0};
  PutU32LE(&dir[3], offset);
  PutU32LE(&dir[7], size);
  PutU32LE(&pack[32], 1);
  PutU32LE(&pack[36], static_cast<u32>(dir.size()));
  pack.insert(pack.end(), dir.begin(), dir.end());
  pack.resize(pack.size() + 4 + 16, 'x');
  return pack;
}

TEST(PackFsTest, OpenUpperCasesThePathCutTo255BytesAndOnlyReads) {
  FsPtr fs = OpenFs(MakePack(kSmallPack));
  Error e = ERR_UNKNOWN;
  FilePtr f(fs->Open("patch.ini", FOM_READ, &e));
  ASSERT_TRUE(f);
  EXPECT_EQ(e, nullptr);
  EXPECT_EQ(f->valid, 1u);
  EXPECT_EQ(f->ownsParent, 0u);
  EXPECT_EQ(ReadMember(f.get()), "[str]\nver=10003\n");
  f.reset(fs->Open("FILES/A.TXT", 0xC1, &e));
  EXPECT_FALSE(f);
  EXPECT_EQ(e, FERR_FILENOTFOUND);
  f.reset(fs->Open("\\PATCH.INI", FOM_READ, &e));
  EXPECT_FALSE(f);
  f.reset(fs->Open("files\\sub\\b.txt", 0xC1, nullptr));
  ASSERT_TRUE(f);
  EXPECT_EQ(ReadMember(f.get()), "0123456789");
  EXPECT_EQ(fs->Open("PATCH.INI", 0x0F, &e), nullptr);
  EXPECT_EQ(e, FERR_ACCESSDENIED);
  EXPECT_EQ(fs->Open("PATCH.INI", FOM_WRITE, nullptr), nullptr);

  fs = OpenFs(MakePack({{std::string(255, 'L'), "x"}}));
  std::string longer = std::string(255, 'l') + "IGNORED";
  EXPECT_TRUE(FilePtr(fs->Open(longer.c_str(), FOM_READ, nullptr)));
}

TEST(PackFsTest, MemberReadsAndSeeksStayInsideTheMember) {
  FsPtr fs = OpenFs(MakePack(kSmallPack));
  FilePtr f(fs->Open("FILES\\SUB\\B.TXT", FOM_READ, nullptr));
  ASSERT_EQ(f->GetSize(), 10u);
  char buf[16] = {};
  u32 count = 99;
  ASSERT_EQ(f->Seek(6, SEEK_FROM_START), nullptr);
  EXPECT_EQ(f->Read(buf, 10, &count), nullptr);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(std::string(buf, 4), "6789");
  EXPECT_EQ(f->Read(buf, 1, &count), FERR_EOF);
  EXPECT_EQ(count, 0u);
  // Without a count, a short read is EOF and delivers nothing.
  ASSERT_EQ(f->Seek(-4, SEEK_FROM_END), nullptr);
  memset(buf, 0, sizeof buf);
  EXPECT_EQ(f->Read(buf, 10, nullptr), FERR_EOF);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(f->Tell(), 6u);
  // Negative targets fail and keep the position; past the end is allowed.
  ASSERT_EQ(f->Seek(3, SEEK_FROM_START), nullptr);
  EXPECT_EQ(f->Seek(-1, SEEK_FROM_START), ERR_UNKNOWN);
  EXPECT_EQ(f->Seek(-4, SEEK_FROM_CURRENT), ERR_UNKNOWN);
  EXPECT_EQ(f->Seek(-11, SEEK_FROM_END), ERR_UNKNOWN);
  EXPECT_EQ(f->Tell(), 3u);
  EXPECT_EQ(f->Seek(5, SEEK_FROM_END), nullptr);
  EXPECT_EQ(f->Tell(), 15u);
  EXPECT_EQ(f->Read(buf, 1, &count), FERR_EOF);
  EXPECT_EQ(f->Seek(5, 7), nullptr);  // unknown origins count from the start
  EXPECT_EQ(f->Tell(), 5u);
}

TEST(PackFsTest, MembersCannotBeWrittenAndFlushReachesThePack) {
  CMemFile *pack = new CMemFile(MakePack(kSmallPack));
  CPackFS fs;
  ASSERT_EQ(fs.OpenPack(pack), nullptr);
  FilePtr f(fs.Open("PATCH.INI", FOM_READ, nullptr));
  EXPECT_EQ(f->Write("x", 1, nullptr), ERR_NOTIMPL);
  EXPECT_EQ(f->Truncate(), ERR_NOTIMPL);
  EXPECT_EQ(f->Flush(), nullptr);
  EXPECT_EQ(pack->flushes, 1u);
  EXPECT_EQ(fs.Delete("PATCH.INI"), ERR_NOTIMPL);
  EXPECT_EQ(fs.Move("PATCH.INI", "X"), ERR_NOTIMPL);
  EXPECT_EQ(fs.MakeDir("", "X"), ERR_NOTIMPL);
  EXPECT_EQ(fs.RemoveDir("", "FILES"), ERR_NOTIMPL);
  EXPECT_EQ(fs.Query("PATCH.INI", QUERY_FULLPATH, nullptr), ERR_NOTIMPL);
  EXPECT_EQ(fs.Extension("PATCH.INI", 1, 2), ERR_NOTIMPL);
}

TEST(PackFsTest, ParentReadErrorsPassUpAndKeepThePosition) {
  CMemFile *pack = new CMemFile(MakePack(kSmallPack));
  CPackFS fs;
  ASSERT_EQ(fs.OpenPack(pack), nullptr);
  FilePtr f(fs.Open("FILES\\A.TXT", FOM_READ, nullptr));
  pack->readsLeft = 0;
  char buf[5];
  u32 count = 9;
  EXPECT_EQ(f->Read(buf, 5, &count), FERR_READFAIL);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(f->Tell(), 0u);
}

TEST(PackFsTest, DamagedHeadersAndMembersBeyondThePackAreRefused) {
  const Bytes good = MakePack(kSmallPack);
  Bytes badMagic17 = good, badMagic16 = good, hugeDirectory = good;
  badMagic17[17] = 'X';  // byte 17 of the magic must be zero
  badMagic16[16] = 0x1B;
  PutU32LE(&hugeDirectory[36], 0xFFFFFFF0u);
  Bytes noDirectory(kPackMagic, kPackMagic + 18);
  noDirectory.resize(40, 0);
  struct Case {
    const char *what;
    Bytes pack;
    Error error, member;  // of OpenPack, and of opening member "A"
  } cases[] = {
      {"good", good, nullptr, FERR_FILENOTFOUND},
      {"magic byte 17", badMagic17, ERR_UNKNOWN, FERR_FILENOTFOUND},
      {"magic byte 16", badMagic16, ERR_UNKNOWN, FERR_FILENOTFOUND},
      {"short header", Bytes(good.begin(), good.begin() + 39), FERR_EOF, FERR_FILENOTFOUND},
      {"short directory", Bytes(good.begin(), good.begin() + 60), FERR_EOF, FERR_FILENOTFOUND},
      {"directory past the end", hugeDirectory, FERR_EOF, FERR_FILENOTFOUND},
      {"empty directory", noDirectory, ERR_ALLOCFAIL, FERR_FILENOTFOUND},
      {"member inside", PackWithMember(60, 4), nullptr, nullptr},
      {"member past the end", PackWithMember(60, 1000), nullptr, ERR_INVALIDFORMAT},
      {"member offset wraps", PackWithMember(0xFFFFFFF0u, 0x20), nullptr, ERR_INVALIDFORMAT},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Error e = ERR_WHATAMESS;
    FsPtr fs = OpenFs(c.pack, &e);
    EXPECT_EQ(e, c.error);
    e = ERR_WHATAMESS;
    FilePtr f(fs->Open("A", FOM_READ, &e));
    EXPECT_EQ(f != nullptr, c.member == nullptr);
    if (c.member) {
      EXPECT_EQ(e, c.member);
    }
  }
}

TEST(PackFsTest, AFailedPackAnswersNotFoundEverywhere) {
  FsPtr fs = OpenFs(Bytes(10, 0));
  Error e = nullptr;
  EXPECT_EQ(fs->Open("PATCH.INI", FOM_READ, &e), nullptr);
  EXPECT_EQ(e, FERR_FILENOTFOUND);
  FindRecord record = {};
  EXPECT_EQ(fs->FindFirst(&record, ""), FERR_FILENOTFOUND);
  EXPECT_EQ(record.buffer, nullptr);
  EXPECT_EQ(fs->FindClose(&record), nullptr);
  EXPECT_EQ(fs->Exists("PATCH.INI"), 0u);
  EXPECT_EQ(fs->GetDataOffset("PATCH.INI", &e), 0u);
  EXPECT_EQ(e, FERR_FILENOTFOUND);
  CPackFS empty;
  EXPECT_EQ(empty.Open("X", FOM_READ, &e), nullptr);
  EXPECT_EQ(e, FERR_FILENOTFOUND);
  EXPECT_EQ(empty.OpenPack(nullptr), ERR_UNKNOWN);
}

TEST(PackFsTest, ReopeningDiscardsThePreviousPack) {
  int destroyed = 0;
  CMemFile *first = new CMemFile(MakePack(kSmallPack));
  first->destroyed = &destroyed;
  CPackFS fs;
  ASSERT_EQ(fs.OpenPack(first), nullptr);
  ASSERT_EQ(fs.OpenPack(new CMemFile(MakePack({{"OTHER", "o"}}))), nullptr);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(fs.Exists("PATCH.INI"), 0u);
  EXPECT_NE(fs.Exists("OTHER"), 0u);
}

TEST(PackFsTest, ExistsIsAPrefixTest) {
  FsPtr fs = OpenFs(MakePack(kSmallPack));
  for (const char *yes : {"FILES", "files\\", "FILE", "PATCH", "patch.ini", "FILES\\SUB"})
    EXPECT_NE(fs->Exists(yes), 0u) << yes;
  for (const char *no : {"XYZ", "FILES\\C", "PATCH.INI\\"}) EXPECT_EQ(fs->Exists(no), 0u) << no;
}

TEST(PackFsTest, ListsFoldSubdirectoriesAndEndWithFileNotFound) {
  FsPtr fs = OpenFs(MakePack(kSmallPack));
  struct Case {
    const char *dir;
    Listing entries;
  } cases[] = {
      {"", {{"FILES", 0x11}, {"PATCH.INI", 0x01}}},
      {"FILES", {{"A.TXT", 0x01}, {"SUB", 0x11}}},
      {"files\\sub\\", {{"B.TXT", 0x01}, {"D.TXT", 0x01}}},
      {"NOPE", {}},
      {"FILES/SUB", {}},
  };
  for (const Case &c : cases) {
    Error end;
    EXPECT_EQ(ListDir(fs.get(), c.dir, &end), c.entries) << c.dir;
    EXPECT_EQ(end, FERR_FILENOTFOUND) << c.dir;
  }
}

TEST(PackFsTest, ListingKeepsItsStateInTheRecord) {
  FsPtr fs = OpenFs(MakePack(kSmallPack));
  FindRecord record = {};
  ASSERT_EQ(fs->FindFirst(&record, "FILES"), nullptr);
  EXPECT_EQ(record.service, fs.get());
  EXPECT_EQ(record.word, 6u);
  EXPECT_NE(record.buffer, nullptr);
  EXPECT_EQ(fs->FindClose(&record), nullptr);
  EXPECT_EQ(record.buffer, nullptr);
  EXPECT_EQ(fs->FindNext(&record), ERR_ALLOCFAIL);
}

// '0' (0x30) sorts before '\' (0x5C): B0 comes before the folder B.
TEST(PackFsTest, ListingInterleavesMembersAndFoldersInNameOrder) {
  Members members;
  for (const char *n : {"D\\A", "D\\B\\1", "D\\B\\2", "D\\B\\C\\3", "D\\B0",
                        "D\\C", "D\\E\\1", "D0"})
    members.push_back({n, n});
  FsPtr fs = OpenFs(MakePack(members));
  Error end;
  EXPECT_EQ(ListDir(fs.get(), "D", &end),
            (Listing{{"A", 1}, {"B0", 1}, {"B", 0x11}, {"C", 1}, {"E", 0x11}}));
  EXPECT_EQ(ListDir(fs.get(), "D\\B", &end),
            (Listing{{"1", 1}, {"2", 1}, {"C", 0x11}}));
}

TEST(PackFsTest, GetDataOffsetGivesTheMembersPosition) {
  Bytes pack = MakePack(kSmallPack);
  FsPtr fs = OpenFs(pack);
  Error e = ERR_UNKNOWN;
  u32 offset = fs->GetDataOffset("patch.ini", &e);
  EXPECT_EQ(e, nullptr);
  EXPECT_EQ(std::string(pack.begin() + offset, pack.begin() + offset + 5), "[str]");
  EXPECT_EQ(fs->GetDataOffset("FILES", &e), 0u);
  EXPECT_EQ(e, FERR_FILENOTFOUND);
}

TEST(PackFsTest, DamagedDirectoriesNeverHangAListing) {
  Members members;
  for (int i = 0; i < 300; i++) {
    char name[40];
    snprintf(name, sizeof name, "F\\D%d\\S%d\\N%03d", i % 4, i % 3, i);
    members.push_back({name, "x"});
  }
  Bytes good = MakePack(members);
  u32 dirLength = GetU32LE(&good[36]);
  std::mt19937 rng(31337);
  for (int variant = 0; variant < 400; variant++) {
    Bytes bad = good;
    for (int i = 0; i < 1 + variant % 4; i++)
      bad[40 + rng() % dirLength] = static_cast<u8>(rng());
    FsPtr fs = OpenFs(bad);
    // Walk the whole tree depth first, as the copy engine does.
    std::vector<std::string> dirs = {"", "F", "F\\D1"};
    int entries = 0;
    while (!dirs.empty()) {
      std::string dir = dirs.back();
      dirs.pop_back();
      FindRecord record = {};
      Error e = fs->FindFirst(&record, dir.c_str());
      while (!e) {
        ASSERT_LT(++entries, 100000);
        std::string path = dir + (dir.empty() ? "" : "\\") + record.name;
        if (!(record.attributes & FATTR_DIRECTORY))
          FilePtr(fs->Open(path.c_str(), FOM_READ, nullptr));
        else if (dir.size() < 200)
          dirs.push_back(path);
        e = fs->FindNext(&record);
      }
      fs->FindClose(&record);
    }
  }
}

class MountPackTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(MountTableInit(8), nullptr); }
  void TearDown() override { MountTableShutdown(); }
};

TEST_F(MountPackTest, RegistersTheNameWithABackslash) {
  ASSERT_EQ(MountPack(new CMemFile(MakePack(kSmallPack)), "DATA"), nullptr);
  const char *rest = nullptr;
  CFileService *s = ResolveMount("data\\patch.ini", &rest);
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(MountNameOf(s), "DATA\\");
  EXPECT_STREQ(rest, "patch.ini");
  FilePtr f(FsOpen("DATA\\Files\\A.TXT", FOM_READ, nullptr));
  ASSERT_TRUE(f);
  EXPECT_EQ(ReadMember(f.get()), "alpha");
  EXPECT_NE(FsExists("DATA\\FILES\\SUB"), 0u);
  FindRecord record = {};
  ASSERT_EQ(FsFindFirst(&record, "DATA\\Files"), nullptr);
  EXPECT_STREQ(record.name, "A.TXT");
  EXPECT_EQ(FsFindNext(&record), nullptr);
  EXPECT_STREQ(record.name, "SUB");
  EXPECT_EQ(FsFindNext(&record), FERR_FILENOTFOUND);
  EXPECT_EQ(FsFindClose(&record), nullptr);
  f.reset();
  // A name that ends with '\' is kept as it is.
  ASSERT_EQ(MountPack(new CMemFile(MakePack(kSmallPack)), "GAME\\"), nullptr);
  EXPECT_NE(FsExists("GAME\\PATCH.INI"), 0u);
}

TEST_F(MountPackTest, InvalidFilesAndFailedPacksAreDestroyedAndRefused) {
  int destroyed = 0;
  CMemFile *file = new CMemFile(MakePack(kSmallPack));
  file->valid = 0;
  file->destroyed = &destroyed;
  EXPECT_EQ(MountPack(file, "DATA"), ERR_UNKNOWN);
  EXPECT_EQ(destroyed, 1);
  file = new CMemFile(Bytes(100, 0));
  file->destroyed = &destroyed;
  EXPECT_EQ(MountPack(file, "DATA"), ERR_UNKNOWN);
  EXPECT_EQ(destroyed, 2);
  EXPECT_EQ(MountPack(nullptr, "DATA"), ERR_UNKNOWN);
  EXPECT_EQ(ResolveMount("DATA\\X", nullptr), nullptr);
}

TEST_F(MountPackTest, AFullTableRefusesAndTheServiceIsDestroyed) {
  MountTableShutdown();
  ASSERT_EQ(MountTableInit(1), nullptr);
  ASSERT_EQ(MountPack(new CMemFile(MakePack(kSmallPack)), "ONE"), nullptr);
  int destroyed = 0;
  CMemFile *file = new CMemFile(MakePack(kSmallPack));
  file->destroyed = &destroyed;
  EXPECT_EQ(MountPack(file, "TWO"), ERR_OUTOFRANGE);
  EXPECT_EQ(destroyed, 1);
}

}  // namespace

namespace {

long CountListed(CPackFS *fs, const std::string &dir, int depth) {
  FindRecord r;
  memset(&r, 0, sizeof r);
  long n = 0;
  for (Error e = fs->FindFirst(&r, dir.c_str()); !e; e = fs->FindNext(&r)) {
    n++;
    if ((r.attributes & FATTR_DIRECTORY) && depth < 64)
      n += CountListed(fs, dir + r.name + "\\", depth + 1);
  }
  fs->FindClose(&r);
  return n;
}

}  // namespace

TEST(PackFsTest, DamagedDirectoryReportsEachSubdirectoryOncePerListing) {
  // Found by fuzzing: a directory whose members of FILES\DIR3 come back
  // after the folder was passed over made the FILES listing report DIR3
  // hundreds of times, and a walk of the tree took millions of steps.
  std::vector<unsigned char> bytes = ReadWholeFile(
      VASK_PACK_CORPUS "/regression-timeout-repeated-subdirectory");
  ASSERT_FALSE(bytes.empty());
  TempDir dir;
  WriteWholeFile(dir / "p.pack", bytes);
  CPackFS fs;
  ASSERT_EQ(fs.OpenPack(OpenNativeFile(dir / "p.pack", false, false)), nullptr);
  // 64 records: every one is listed at most once, with its folders.
  EXPECT_LE(CountListed(&fs, "", 0), 64 + 64 * 3);
}
