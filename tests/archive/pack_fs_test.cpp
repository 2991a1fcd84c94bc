// The pack as a read-only file service: members, listings, damaged headers
// and directories, and mounting.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "archive/pack_fs.h"
#include "core/endian.h"
#include "pack_test_support.h"
#include "support/listing.h"
#include "support/temp_dir.h"

namespace {

typedef std::unique_ptr<CPackFS> FsPtr;
typedef std::unique_ptr<CFile> FilePtr;

const Members kSmallPack = {{"FILES\\A.TXT", "alpha"},
                            {"FILES\\SUB\\B.TXT", "0123456789"},
                            {"FILES\\SUB\\D.TXT", "delta"},
                            {"PATCH.INI", "[str]\nver=10003\n"}};

FsPtr OpenFs(const Bytes &pack, Error *error = nullptr, CMemFile **file = nullptr) {
  FsPtr fs(new CPackFS());
  CMemFile *f = new CMemFile(pack);
  if (file) *file = f;
  Error e = fs->OpenPack(f);
  if (error) *error = e;
  return fs;
}

std::string ReadMember(CFile *file) {
  std::string s(file->GetSize(), '\0');
  EXPECT_EQ(file->Read(&s[0], static_cast<u32>(s.size()), nullptr), nullptr);
  return s;
}

// A pack with one hand-made record "A" whose payload says (offset, size).
Bytes PackWithMember(u32 offset, u32 size) {
  Bytes pack(kPackMagic, kPackMagic + 18), dir = {1, 0, 'A', 0, 0, 0, 0, 0, 0, 0, 0};
  pack.resize(40, 0);
  PutU32LE(&dir[3], offset);
  PutU32LE(&dir[7], size);
  PutU32LE(&pack[32], 1);
  PutU32LE(&pack[36], static_cast<u32>(dir.size()));
  pack.insert(pack.end(), dir.begin(), dir.end());
  pack.resize(pack.size() + 4 + 16, 'x');
  return pack;
}

TEST(PackFsTest, MembersOpenUpperCasedOnlyForReadingAndStayInsideThemselves) {
  CMemFile *file;
  Bytes pack = MakePack(kSmallPack);
  FsPtr fs = OpenFs(pack, nullptr, &file);
  Error e = ERR_UNKNOWN;
  FilePtr f(fs->Open("patch.ini", FOM_READ, &e));
  ASSERT_TRUE(f);
  EXPECT_EQ(e, nullptr);
  EXPECT_EQ(ReadMember(f.get()), "[str]\nver=10003\n");
  EXPECT_EQ(f->Write("x", 1, nullptr), ERR_NOTIMPL);
  EXPECT_EQ(f->Truncate(), ERR_NOTIMPL);
  EXPECT_EQ(f->Flush(), nullptr);
  EXPECT_EQ(file->flushes, 1u);
  EXPECT_EQ(FilePtr(fs->Open("FILES/A.TXT", 0xC1, &e)), nullptr);
  EXPECT_EQ(e, FERR_FILENOTFOUND);
  EXPECT_EQ(FilePtr(fs->Open("PATCH.INI", 0x0F, &e)), nullptr);
  EXPECT_EQ(e, FERR_ACCESSDENIED);
  EXPECT_EQ(fs->Delete("PATCH.INI"), ERR_NOTIMPL);
  u32 offset = fs->GetDataOffset("patch.ini", &e);
  EXPECT_EQ(std::string(pack.begin() + offset, pack.begin() + offset + 5), "[str]");
  for (const char *yes : {"FILES", "files\\", "FILE", "PATCH", "patch.ini", "FILES\\SUB"})
    EXPECT_NE(fs->Exists(yes), 0u) << yes;  // a prefix test
  for (const char *no : {"XYZ", "FILES\\C", "PATCH.INI\\"}) EXPECT_EQ(fs->Exists(no), 0u) << no;

  f.reset(fs->Open("files\\sub\\b.txt", 0xC1, nullptr));
  char buf[16] = {};
  u32 count = 99;
  EXPECT_EQ(f->Seek(-4, SEEK_FROM_END), nullptr);
  EXPECT_EQ(f->Read(buf, 10, nullptr), FERR_EOF);  // without a count: nothing delivered
  EXPECT_EQ(f->Read(buf, 10, &count), nullptr);
  EXPECT_EQ(std::string(buf, count), "6789");
  EXPECT_EQ(f->Seek(-11, SEEK_FROM_END), ERR_UNKNOWN);
  file->readsLeft = 0;
  EXPECT_EQ(f->Seek(5, SEEK_FROM_START), nullptr);
  EXPECT_EQ(f->Read(buf, 5, &count), FERR_READFAIL);
  EXPECT_EQ(f->Tell(), 5u);
  fs = OpenFs(MakePack({{std::string(255, 'L'), "x"}}));  // the path cut to 255 bytes
  EXPECT_TRUE(FilePtr(fs->Open((std::string(255, 'l') + "IGNORED").c_str(), FOM_READ, nullptr)));
}

TEST(PackFsTest, DamagedHeadersAndMembersBeyondThePackAreRefused) {
  const Bytes good = MakePack(kSmallPack);
  Bytes magic17 = good, magic16 = good, hugeDirectory = good, noDirectory(kPackMagic, kPackMagic + 18);
  magic17[17] = 'X';
  magic16[16] = 0x1B;
  PutU32LE(&hugeDirectory[36], 0xFFFFFFF0u);
  noDirectory.resize(40, 0);
  struct Case {
    const char *what;
    Bytes pack;
    Error error, member;  // of OpenPack, and of opening member "A"
  } cases[] = {
      {"magic byte 17", magic17, ERR_UNKNOWN, FERR_FILENOTFOUND},
      {"magic byte 16", magic16, ERR_UNKNOWN, FERR_FILENOTFOUND},
      {"short header", Bytes(good.begin(), good.begin() + 39), FERR_EOF, FERR_FILENOTFOUND},
      {"short directory", Bytes(good.begin(), good.begin() + 60), FERR_EOF, FERR_FILENOTFOUND},
      {"directory past the end", hugeDirectory, FERR_EOF, FERR_FILENOTFOUND},
      {"empty directory", noDirectory, ERR_ALLOCFAIL, FERR_FILENOTFOUND},
      {"member inside", PackWithMember(60, 4), nullptr, nullptr},
      {"member past the end", PackWithMember(60, 1000), nullptr, ERR_INVALIDFORMAT},
      {"member offset wraps", PackWithMember(0xFFFFFFF0u, 0x20), nullptr, ERR_INVALIDFORMAT},
      {"not a pack", Bytes(10, 0), FERR_EOF, FERR_FILENOTFOUND},
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
  FsPtr fs = OpenFs(Bytes(10, 0));  // a failed pack answers not found everywhere
  FindRecord record = {};
  EXPECT_EQ(fs->FindFirst(&record, ""), FERR_FILENOTFOUND);
  EXPECT_EQ(fs->FindClose(&record), nullptr);
  EXPECT_EQ(fs->Exists("PATCH.INI"), 0u);
  CPackFS empty;
  EXPECT_EQ(empty.OpenPack(nullptr), ERR_UNKNOWN);
}

TEST(PackFsTest, ListingsFoldFoldersInNameOrderAndEndWithFileNotFound) {
  FsPtr fs = OpenFs(MakePack(kSmallPack));
  struct Case {
    const char *dir;
    Listing entries;
  } cases[] = {{"", {{"FILES", 0x11}, {"PATCH.INI", 0x01}}},
               {"FILES", {{"A.TXT", 0x01}, {"SUB", 0x11}}},
               {"files\\sub\\", {{"B.TXT", 0x01}, {"D.TXT", 0x01}}},
               {"NOPE", {}},
               {"FILES/SUB", {}}};
  for (const Case &c : cases) {
    Error end;
    EXPECT_EQ(ListDir(fs.get(), c.dir, &end), c.entries) << c.dir;
    EXPECT_EQ(end, FERR_FILENOTFOUND) << c.dir;
  }
  // '0' (0x30) sorts before '\' (0x5C): B0 comes before the folder B.
  Members members;
  for (const char *n : {"D\\A", "D\\B\\1", "D\\B\\2", "D\\B\\C\\3", "D\\B0", "D\\C", "D\\E\\1", "D0"})
    members.push_back({n, n});
  fs = OpenFs(MakePack(members));
  Error end;
  EXPECT_EQ(ListDir(fs.get(), "D", &end),
            (Listing{{"A", 1}, {"B0", 1}, {"B", 0x11}, {"C", 1}, {"E", 0x11}}));
  EXPECT_EQ(ListDir(fs.get(), "D\\B", &end), (Listing{{"1", 1}, {"2", 1}, {"C", 0x11}}));
}

// Entries of a depth-first walk of every folder, as the copy engine makes it.
long Walk(CPackFS *fs, const std::string &dir, int depth) {
  FindRecord r = {};
  long n = 0;
  for (Error e = fs->FindFirst(&r, dir.c_str()); !e && n < 100000; e = fs->FindNext(&r)) {
    n++;
    std::string path = dir + r.name;
    if (!(r.attributes & FATTR_DIRECTORY)) FilePtr(fs->Open(path.c_str(), FOM_READ, nullptr));
    else if (depth < 64) n += Walk(fs, path + "\\", depth + 1);
  }
  fs->FindClose(&r);
  return n;
}

TEST(PackFsTest, DamagedDirectoriesNeverHangAWalk) {
  Members members;
  for (int i = 0; i < 300; i++)
    members.push_back({"F\\D" + std::to_string(i % 4) + "\\S" + std::to_string(i % 3) + "\\N" +
                           std::to_string(100 + i), "x"});
  Bytes good = MakePack(members);
  u32 dirLength = GetU32LE(&good[36]);
  std::mt19937 rng(31337);
  for (int variant = 0; variant < 400; variant++) {
    Bytes bad = good;
    for (int i = 0; i < 1 + variant % 4; i++) bad[40 + rng() % dirLength] = static_cast<u8>(rng());
    EXPECT_LT(Walk(OpenFs(bad).get(), "", 0), 100000);
  }
  // Found by fuzzing: members of FILES\DIR3 that come back after the folder
  // was passed over made the listing report DIR3 hundreds of times.
  TempDir dir;
  WriteWholeFile(dir / "p.pack", ReadWholeFile(VASK_PACK_CORPUS "/regression-timeout-repeated-subdirectory"));
  CPackFS fs;
  ASSERT_EQ(fs.OpenPack(OpenNativeFile(dir / "p.pack", false, false)), nullptr);
  EXPECT_LE(Walk(&fs, "", 0), 64 + 64 * 3);  // 64 records, each listed once with its folders
}

}  // namespace
