#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "archive/pack_fs.h"
#include "archive/pack_writer.h"
#include "core/endian.h"
#include "pack_test_support.h"
#include "support/temp_dir.h"

namespace {

typedef std::unique_ptr<CFile> FilePtr;

void ExpectPackHolds(const Bytes &pack, const Members &members) {
  CPackFS fs;
  ASSERT_EQ(fs.OpenPack(new CMemFile(pack)), nullptr);
  EXPECT_EQ(fs.GetIndex()->GetCount(), members.size());
  EXPECT_EQ(fs.GetIndex()->GetSkipCount(), members.size() / 100);
  for (const auto &m : members) {
    Error e;
    FilePtr f(fs.Open(m.first.c_str(), FOM_READ, &e));
    ASSERT_TRUE(f) << m.first << " " << ErrorText(e);
    std::string s(f->GetSize(), '\0');
    if (!s.empty()) {
      ASSERT_EQ(f->Read(&s[0], static_cast<u32>(s.size()), nullptr), nullptr);
    }
    ASSERT_TRUE(s == m.second) << m.first;
  }
}

TEST(PackWriterTest, WritesThePatchArchiveDirectoryByteForByte) {
  const char *names[] = {
      "FILES\\VASKSITES.HTM", "FILES\\PACKS\\DATA2.WDT", "PATCH.INI",
      "FILES\\GAMESPY ARCADE\\ARCADEINSTALLFULL101B.EXE", "FILES\\VASK.EXE",
      "FILES\\VASK109.TXT", "FILES\\VASKEDIT.DLL", "FILES\\VASKEDIT.EXE"};
  Members members;
  for (const char *n : names) members.push_back({n, "1234"});
  Bytes pack = MakePack(members);
  ASSERT_GE(pack.size(), 257u);
  EXPECT_EQ(Bytes(pack.begin(), pack.begin() + 18), Bytes(kPackMagic, kPackMagic + 18));
  EXPECT_EQ(Bytes(pack.begin() + 18, pack.begin() + 32), Bytes(14, 0));
  EXPECT_EQ(GetU32LE(&pack[32]), 8u);
  EXPECT_EQ(GetU32LE(&pack[36]), 185u);
  // First record: the whole name, then offset 257 and size 4.
  EXPECT_EQ(pack[40], 46);
  EXPECT_EQ(pack[41], 0);
  EXPECT_EQ(GetU32LE(&pack[40 + 2 + 46]), 257u);
  EXPECT_EQ(GetU32LE(&pack[40 + 2 + 46 + 4]), 4u);
  // Second record: shares "FILES\" and stores PACKS\DATA2.WDT.
  size_t second = 40 + 56;
  EXPECT_EQ(pack[second], 21);
  EXPECT_EQ(pack[second + 1], 6);
  EXPECT_EQ(std::string(pack.begin() + second + 2, pack.begin() + second + 17),
            "PACKS\\DATA2.WDT");
  EXPECT_EQ(GetU32LE(&pack[second + 17]), 261u);
  EXPECT_EQ(pack.size(), 257u + 8 * 4);
  // Default stamps, in directory order.
  for (int i = 0; i < 8; i++) EXPECT_EQ(GetU32LE(&pack[225 + 4 * i]), kPackDefaultTime);
}

TEST(PackWriterTest, StoresTheGivenStampsInDirectoryOrder) {
  CMemFile a(Bytes{1}), b(Bytes{2});
  CPackWriter writer;
  ASSERT_EQ(writer.AddFile("B", &b, 1, 0x5A5A1111), nullptr);
  ASSERT_EQ(writer.AddFile("A", &a, 1, 0x12345678), nullptr);
  CMemFile out;
  ASSERT_EQ(writer.WritePack(&out), nullptr);
  u32 d = GetU32LE(&out.data[36]);
  EXPECT_EQ(GetU32LE(&out.data[40 + d]), 0x12345678u);
  EXPECT_EQ(GetU32LE(&out.data[44 + d]), 0x5A5A1111u);
  EXPECT_EQ(out.data[48 + d], 1);
  EXPECT_EQ(out.data[49 + d], 2);
}

TEST(PackWriterTest, NamesAreUpperCasedAndSortedUnsigned) {
  Bytes pack = MakePack({{"b\xE9.txt", "1"}, {"bz.txt", "2"}, {"a", "3"}});
  CPackFS fs;
  ASSERT_EQ(fs.OpenPack(new CMemFile(pack)), nullptr);
  char name[256];
  ASSERT_TRUE(fs.GetIndex()->NextName(nullptr, name));
  EXPECT_STREQ(name, "A");
  ASSERT_TRUE(fs.GetIndex()->NextName(name, name));
  EXPECT_STREQ(name, "BZ.TXT");
  ASSERT_TRUE(fs.GetIndex()->NextName(name, name));
  EXPECT_STREQ(name, "B\xE9.TXT");
}

TEST(PackWriterTest, RefusesBadNamesAndAnEmptyPack) {
  CMemFile src(Bytes{1});
  CPackWriter writer;
  EXPECT_EQ(writer.AddFile("", &src, 1), ERR_BADPARAMS);
  EXPECT_EQ(writer.AddFile(nullptr, &src, 1), ERR_BADPARAMS);
  EXPECT_EQ(writer.AddFile(std::string(256, 'A').c_str(), &src, 1), ERR_BADPARAMS);
  EXPECT_EQ(writer.AddFile("\\A", &src, 1), ERR_BADPARAMS);
  EXPECT_EQ(writer.AddFile("A\\", &src, 1), ERR_BADPARAMS);
  EXPECT_STREQ(writer.GetFailedName(), "A\\");
  EXPECT_EQ(writer.AddFile("A", nullptr, 1), ERR_BADPARAMS);
  EXPECT_EQ(writer.AddFile(std::string(255, 'A').c_str(), &src, 1), nullptr);
  EXPECT_EQ(writer.GetCount(), 1u);
  CPackWriter empty;
  CMemFile out;
  EXPECT_EQ(empty.WritePack(&out), ERR_WHATAMESS);
  EXPECT_EQ(empty.WritePack(nullptr), ERR_BADPARAMS);
}

TEST(PackWriterTest, ANameGivenTwiceAndAShortSourceFailAndNameTheMember) {
  CMemFile src(Bytes(10, 7));
  CPackWriter twice;
  ASSERT_EQ(twice.AddFile("x\\a.txt", &src, 1), nullptr);
  ASSERT_EQ(twice.AddFile("X\\B.TXT", &src, 1), nullptr);
  ASSERT_EQ(twice.AddFile("X\\A.TXT", &src, 1), nullptr);
  CMemFile out;
  EXPECT_EQ(twice.WritePack(&out), FERR_FILEEXIST);
  EXPECT_STREQ(twice.GetFailedName(), "X\\A.TXT");
  EXPECT_TRUE(out.data.empty());
  CPackWriter shortSource;
  ASSERT_EQ(shortSource.AddFile("SHORT", &src, 20), nullptr);
  EXPECT_EQ(shortSource.WritePack(&out), FERR_EOF);
  EXPECT_STREQ(shortSource.GetFailedName(), "SHORT");
}

TEST(PackWriterTest, OutputErrorsPassUp) {
  CMemFile src(Bytes(100000, 7));
  for (int writes : {0, 1, 2}) {
    CPackWriter writer;
    ASSERT_EQ(writer.AddFile("BIG", &src, 100000), nullptr);
    CMemFile out;
    out.writesLeft = writes;
    EXPECT_EQ(writer.WritePack(&out), FERR_DISKFULL) << writes;
  }
}

TEST(PackWriterTest, StreamsMemberDataInChunks) {
  CMemFile src(PatternBytes(1000000, 3));
  CPackWriter writer;
  ASSERT_EQ(writer.AddFile("BIG", &src, 1000000), nullptr);
  CMemFile out;
  ASSERT_EQ(writer.WritePack(&out), nullptr);
  EXPECT_LE(src.largestRead, 65536u);
  ExpectPackHolds(out.data, {{"BIG", std::string(src.data.begin(), src.data.end())}});
}

TEST(PackWriterTest, WritesSequentiallyFromTheCurrentPosition) {
  CMemFile src(Bytes{9});
  CPackWriter writer;
  ASSERT_EQ(writer.AddFile("A", &src, 1), nullptr);
  CMemFile out(Bytes{'P', 'R', 'E'});
  out.position = 3;
  ASSERT_EQ(writer.WritePack(&out), nullptr);
  EXPECT_EQ(out.data[3], 'K');
  // Offsets count from the pack's start, not the file's.
  EXPECT_EQ(GetU32LE(&out.data[3 + 40 + 3]), 40u + 11 + 4);
}

}  // namespace
