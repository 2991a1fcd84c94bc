// The pack writer: the directory byte for byte, refused names and sources,
// output errors, and packs of host folders read back through the pack.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>

#include "archive/pack_fs.h"
#include "core/endian.h"
#include "fs/mount_table.h"
#include "pack_test_support.h"
#include "support/temp_dir.h"

namespace {

TEST(PackWriterTest, WritesThePatchArchiveDirectoryByteForByte) {
  Members members;
  for (const char *n : {"FILES\\VASKSITES.HTM", "FILES\\PACKS\\DATA2.WDT", "PATCH.INI",
                        "FILES\\GAMESPY ARCADE\\ARCADEINSTALLFULL101B.EXE", "FILES\\VASK.EXE",
                        "FILES\\VASK109.TXT", "FILES\\VASKEDIT.DLL", "FILES\\VASKEDIT.EXE"})
    members.push_back({n, "1234"});
  Bytes pack = MakePack(members);
  ASSERT_EQ(pack.size(), 257u + 8 * 4);
  EXPECT_EQ(Bytes(pack.begin(), pack.begin() + 18), Bytes(kPackMagic, kPackMagic + 18));
  EXPECT_EQ(Bytes(pack.begin() + 18, pack.begin() + 32), Bytes(14, 0));
  EXPECT_EQ(GetU32LE(&pack[32]), 8u);
  EXPECT_EQ(GetU32LE(&pack[36]), 185u);
  EXPECT_EQ(pack[40], 46);  // the whole first name, then offset 257 and size 4
  EXPECT_EQ(pack[41], 0);
  EXPECT_EQ(GetU32LE(&pack[40 + 2 + 46]), 257u);
  EXPECT_EQ(GetU32LE(&pack[40 + 2 + 46 + 4]), 4u);
  EXPECT_EQ(pack[96], 21);  // the second shares "FILES\" and stores PACKS\DATA2.WDT
  EXPECT_EQ(pack[97], 6);
  EXPECT_EQ(std::string(pack.begin() + 98, pack.begin() + 113), "PACKS\\DATA2.WDT");
  EXPECT_EQ(GetU32LE(&pack[113]), 261u);
  for (int i = 0; i < 8; i++) EXPECT_EQ(GetU32LE(&pack[225 + 4 * i]), kPackDefaultTime);
  // Given stamps in directory order; output from the current position, with
  // offsets from the pack's start.
  CMemFile a(Bytes{1}), b(Bytes{2}), out(Bytes{'P', 'R', 'E'});
  CPackWriter writer;
  ASSERT_EQ(writer.AddFile("B", &b, 1, 0x5A5A1111), nullptr);
  ASSERT_EQ(writer.AddFile("A", &a, 1, 0x12345678), nullptr);
  out.position = 3;
  ASSERT_EQ(writer.WritePack(&out), nullptr);
  Bytes p(out.data.begin() + 3, out.data.end());
  u32 d = GetU32LE(&p[36]);
  EXPECT_EQ(GetU32LE(&p[40 + 3]), 40u + d + 8);
  EXPECT_EQ(GetU32LE(&p[40 + d]), 0x12345678u);
  EXPECT_EQ(GetU32LE(&p[44 + d]), 0x5A5A1111u);
  EXPECT_EQ(Bytes(p.begin() + 48 + d, p.end()), (Bytes{1, 2}));
  // Names upper-cased and sorted unsigned.
  CPackFS fs;
  ASSERT_EQ(fs.OpenPack(new CMemFile(MakePack({{"b\xE9.txt", "1"}, {"bz.txt", "2"}, {"a", "3"}}))), nullptr);
  char name[256] = {};
  for (const char *want : {"A", "BZ.TXT", "B\xE9.TXT"}) {
    ASSERT_TRUE(fs.GetIndex()->NextName(*name ? name : nullptr, name));
    EXPECT_STREQ(name, want);
  }
}

TEST(PackWriterTest, RefusesBadNamesSourcesAndOutputsAndNamesTheMember) {
  CMemFile src(Bytes(100000, 7));
  CPackWriter writer;
  for (std::string bad : {std::string(), std::string(256, 'A'), std::string("\\A"), std::string("A\\")})
    EXPECT_EQ(writer.AddFile(bad.c_str(), &src, 1), ERR_BADPARAMS) << bad;
  EXPECT_STREQ(writer.GetFailedName(), "A\\");
  EXPECT_EQ(writer.AddFile(nullptr, &src, 1), ERR_BADPARAMS);
  EXPECT_EQ(writer.AddFile("A", nullptr, 1), ERR_BADPARAMS);
  EXPECT_EQ(writer.AddFile(std::string(255, 'A').c_str(), &src, 1), nullptr);
  EXPECT_EQ(writer.GetCount(), 1u);
  CPackWriter empty, twice, shortSource;
  CMemFile out;
  EXPECT_EQ(empty.WritePack(&out), ERR_WHATAMESS);
  EXPECT_EQ(empty.WritePack(nullptr), ERR_BADPARAMS);
  for (const char *n : {"x\\a.txt", "X\\B.TXT", "X\\A.TXT"}) ASSERT_EQ(twice.AddFile(n, &src, 1), nullptr);
  EXPECT_EQ(twice.WritePack(&out), FERR_FILEEXIST);
  EXPECT_STREQ(twice.GetFailedName(), "X\\A.TXT");
  EXPECT_TRUE(out.data.empty());
  ASSERT_EQ(shortSource.AddFile("SHORT", &src, 200000), nullptr);
  EXPECT_EQ(shortSource.WritePack(&out), FERR_EOF);
  EXPECT_STREQ(shortSource.GetFailedName(), "SHORT");
  for (int writes : {0, 1, 2}) {
    CPackWriter big;
    ASSERT_EQ(big.AddFile("BIG", &src, 100000), nullptr);
    CMemFile failing;
    failing.writesLeft = writes;
    EXPECT_EQ(big.WritePack(&failing), FERR_DISKFULL) << writes;
  }
  CMemFile large(PatternBytes(1000000, 3));  // streamed in chunks
  CPackWriter streamed;
  ASSERT_EQ(streamed.AddFile("BIG", &large, 1000000), nullptr);
  ASSERT_EQ(streamed.WritePack(&out), nullptr);
  EXPECT_LE(large.largestRead, 65536u);
  EXPECT_TRUE(std::equal(large.data.begin(), large.data.end(), out.data.end() - 1000000));
}

// Host folders through the mount table, as the tools reach them: nested
// folders with mixed-case names read back through the pack, by a walk.
TEST(PackFolderTest, FoldersRoundTripAloneAndUnderAPrefixAndMissingOnesAreNamed) {
  TempDir tmp;
  ASSERT_EQ(MountTableInit(8), nullptr);
  ASSERT_EQ(HostFsInit(), nullptr);
  std::mt19937 rng(11);
  std::map<std::string, Bytes> members;
  while (members.size() < 1100) {
    std::string rel;
    for (int d = 0, depth = static_cast<int>(rng() % 4); d < depth; d++) rel += "Dir" + std::to_string(rng() % 4) + "/";
    rel += "file" + std::to_string(rng() % 100000) + ".dat";
    std::string name = "FILES/" + rel;
    std::replace(name.begin(), name.end(), '/', '\\');
    std::transform(name.begin(), name.end(), name.begin(), ::toupper);
    Bytes bytes = PatternBytes(members.size() == 7 ? 200000 : members.size() % 50 ? rng() % 2000 : 0, rng());
    std::filesystem::path path = std::filesystem::u8path(tmp / "tree") / rel;
    std::filesystem::create_directories(path.parent_path());
    WriteWholeFile(path.string(), bytes);
    members[name] = bytes;
  }
  WriteWholeFile(tmp / "patch.ini", std::string("[str]\n"));
  members["PATCH.INI"] = Bytes{'[', 's', 't', 'r', ']', '\n'};
  CPackWriter writer;
  ASSERT_EQ(writer.AddFolder((tmp / "tree").c_str(), "Files\\"), nullptr);
  ASSERT_EQ(writer.AddPath("Patch.ini", (tmp / "patch.ini").c_str()), nullptr);
  std::unique_ptr<CHostFile> out(OpenNativeFile(tmp / "out.pak", true, true));
  ASSERT_EQ(writer.WritePack(out.get()), nullptr);
  out.reset();
  CPackFS fs;
  ASSERT_EQ(fs.OpenPack(OpenNativeFile(tmp / "out.pak", false, false)), nullptr);
  EXPECT_EQ(fs.GetIndex()->GetSkipCount(), members.size() / 100);
  std::map<std::string, Bytes> listed;
  std::vector<std::string> dirs = {""};
  while (!dirs.empty()) {
    std::string dir = dirs.back();
    dirs.pop_back();
    FindRecord record = {};
    for (Error e = fs.FindFirst(&record, dir.c_str()); !e; e = fs.FindNext(&record)) {
      std::string name = dir.empty() ? record.name : dir + "\\" + record.name;
      if (record.attributes & FATTR_DIRECTORY) {
        dirs.push_back(name);
        continue;
      }
      std::unique_ptr<CFile> f(fs.Open(name.c_str(), FOM_READ, nullptr));
      Bytes &got = listed[name];
      got.resize(f->GetSize());
      if (!got.empty()) {
        EXPECT_EQ(f->Read(got.data(), static_cast<u32>(got.size()), nullptr), nullptr);
      }
    }
    fs.FindClose(&record);
  }
  EXPECT_TRUE(listed == members);
  char failed[256];
  out.reset(OpenNativeFile(tmp / "no.pak", true, true));
  EXPECT_NE(PackFolder((tmp / "nothing").c_str(), out.get(), failed, 256), nullptr);
  EXPECT_EQ(std::string(failed), tmp / "nothing");
  EXPECT_EQ(writer.AddPath("X", (tmp / "missing.txt").c_str()), FERR_FILENOTFOUND);
  EXPECT_EQ(std::string(writer.GetFailedName()), tmp / "missing.txt");
  EXPECT_EQ(writer.AddPath("X", nullptr), ERR_BADPARAMS);
  EXPECT_STREQ(writer.GetFailedName(), "X");
  std::filesystem::create_directories(std::filesystem::u8path(tmp / "empty"));
  EXPECT_EQ(PackFolder((tmp / "empty").c_str(), out.get(), nullptr, 0), ERR_WHATAMESS);
  MountTableShutdown();
}

}  // namespace
