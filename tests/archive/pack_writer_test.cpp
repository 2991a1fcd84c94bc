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

// Host folders reached through the mount table, as the tools reach them.
class PackFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(MountTableInit(8), nullptr);
    ASSERT_EQ(HostFsInit(), nullptr);
  }
  void TearDown() override {
    HostFsShutdown();
    MountTableShutdown();
  }
  // `count` files below tmp/<folder> in nested folders with mixed-case names,
  // as member name -> content (under `prefix`).
  std::map<std::string, Bytes> MakeTree(const char *folder, size_t count, const std::string &prefix = "") {
    std::mt19937 rng(static_cast<unsigned>(count));
    std::map<std::string, Bytes> members;
    while (members.size() < count) {
      std::string rel;
      for (int d = 0, depth = static_cast<int>(rng() % 4); d < depth; d++) rel += "Dir" + std::to_string(rng() % 4) + "/";
      rel += "file" + std::to_string(rng() % 100000) + ".dat";
      std::string name = prefix + rel;
      std::replace(name.begin(), name.end(), '/', '\\');
      std::transform(name.begin(), name.end(), name.begin(), ::toupper);
      if (members.count(name)) continue;
      Bytes bytes = PatternBytes(members.size() == 7 ? 200000 : members.size() % 50 ? rng() % 2000 : 0,
                                 static_cast<unsigned>(members.size()));
      std::filesystem::path path = std::filesystem::u8path(tmp / folder) / rel;
      std::filesystem::create_directories(path.parent_path());
      WriteWholeFile(path.string(), bytes);
      members[name] = bytes;
    }
    return members;
  }
  // The pack at `path` holds exactly `members`, by name and by a walk.
  void ExpectPack(const std::string &path, const std::map<std::string, Bytes> &members) {
    CPackFS fs;
    ASSERT_EQ(fs.OpenPack(OpenNativeFile(path, false, false)), nullptr);
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
  }
  Error Pack(const std::string &folder, const std::string &out, char *failed = nullptr) {
    std::unique_ptr<CHostFile> file(OpenNativeFile(out, true, true));
    return PackFolder(folder.c_str(), file.get(), failed, failed ? 256 : 0);
  }
  TempDir tmp;
};

TEST_F(PackFolderTest, FoldersRoundTripAloneAndUnderAPrefixBesideSingleFiles) {
  auto members = MakeTree("tree", 1100);
  ASSERT_EQ(Pack(tmp / "tree", tmp / "out.pak"), nullptr);
  ExpectPack(tmp / "out.pak", members);
  ASSERT_EQ(MountPack(OpenNativeFile(tmp / "out.pak", false, false), "DATA"), nullptr);
  std::string lower = "data\\" + members.begin()->first;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  std::unique_ptr<CFile> f(FsOpen(lower.c_str(), 0xC1, nullptr));
  ASSERT_TRUE(f) << lower;
  EXPECT_EQ(f->GetSize(), members.begin()->second.size());
  members = MakeTree("few", 40, "Files\\");
  WriteWholeFile(tmp / "patch.ini", std::string("[str]\n"));
  CPackWriter writer;
  ASSERT_EQ(writer.AddFolder((tmp / "few/").c_str(), "Files\\"), nullptr);  // a trailing '/' changes nothing
  ASSERT_EQ(writer.AddPath("Patch.ini", (tmp / "patch.ini").c_str()), nullptr);
  std::unique_ptr<CHostFile> out(OpenNativeFile(tmp / "few.pak", true, true));
  ASSERT_EQ(writer.WritePack(out.get()), nullptr);
  out.reset();
  members["PATCH.INI"] = Bytes{'[', 's', 't', 'r', ']', '\n'};
  ExpectPack(tmp / "few.pak", members);
}

TEST_F(PackFolderTest, MissingAndEmptySourcesAreRefusedWithTheirPaths) {
  char failed[256];
  EXPECT_NE(Pack(tmp / "nothing", tmp / "out.pak", failed), nullptr);
  EXPECT_EQ(std::string(failed), tmp / "nothing");
  CPackWriter writer;
  EXPECT_EQ(writer.AddPath("X", (tmp / "missing.txt").c_str()), FERR_FILENOTFOUND);
  EXPECT_EQ(std::string(writer.GetFailedName()), tmp / "missing.txt");
  EXPECT_EQ(writer.AddPath("X", nullptr), ERR_BADPARAMS);
  EXPECT_STREQ(writer.GetFailedName(), "X");
  std::filesystem::create_directories(std::filesystem::u8path(tmp / "empty"));
  EXPECT_EQ(writer.AddFolder((tmp / "empty").c_str(), ""), nullptr);
  EXPECT_EQ(writer.GetCount(), 0u);
  EXPECT_EQ(Pack(tmp / "empty", tmp / "out.pak"), ERR_WHATAMESS);
}

}  // namespace
