#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "archive/pack_fs.h"
#include "archive/pack_writer.h"
#include "fs/mount_table.h"
#include "pack_test_support.h"
#include "support/temp_dir.h"

namespace {

typedef std::unique_ptr<CFile> FilePtr;

// Host files reached through the mount table, as the tools reach them.
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

  // Writes `count` files below tmp/tree in nested folders with mixed-case
  // names; returns member name (upper case, '\') -> content.
  std::vector<std::pair<std::string, Bytes>> MakeTree(size_t count, unsigned seed) {
    std::mt19937 rng(seed);
    std::set<std::string> upper;
    std::vector<std::pair<std::string, Bytes>> members;
    while (members.size() < count) {
      std::string rel;
      int depth = static_cast<int>(rng() % 4);
      for (int d = 0; d < depth; d++) rel += "Dir" + std::to_string(rng() % 4) + "/";
      rel += "file" + std::to_string(rng() % 100000) + ".dat";
      std::string name = rel;
      std::replace(name.begin(), name.end(), '/', '\\');
      std::transform(name.begin(), name.end(), name.begin(), ::toupper);
      if (!upper.insert(name).second) continue;
      size_t size = members.size() == 7 ? 200000 : members.size() % 50 ? rng() % 2000 : 0;
      Bytes bytes = PatternBytes(size, static_cast<unsigned>(members.size()));
      std::filesystem::path path = std::filesystem::u8path(tmp / "tree") / rel;
      std::filesystem::create_directories(path.parent_path());
      WriteWholeFile(path.string(), bytes);
      members.push_back({name, bytes});
    }
    return members;
  }

  // Opens the pack at `path` and checks it holds exactly `members`.
  void ExpectPack(const std::string &path,
                  const std::vector<std::pair<std::string, Bytes>> &members) {
    CPackFS fs;
    ASSERT_EQ(fs.OpenPack(OpenNativeFile(path, false, false)), nullptr);
    EXPECT_EQ(fs.GetIndex()->GetCount(), members.size());
    EXPECT_EQ(fs.GetIndex()->GetSkipCount(), members.size() / 100);
    for (const auto &m : members) {
      FilePtr f(fs.Open(m.first.c_str(), FOM_READ, nullptr));
      ASSERT_TRUE(f) << m.first;
      Bytes got(f->GetSize());
      if (!got.empty()) {
        ASSERT_EQ(f->Read(got.data(), static_cast<u32>(got.size()), nullptr), nullptr);
      }
      ASSERT_TRUE(got == m.second) << m.first;
    }
    // A walk of the pack finds exactly the members.
    std::set<std::string> listed;
    std::vector<std::string> dirs = {""};
    while (!dirs.empty()) {
      std::string dir = dirs.back();
      dirs.pop_back();
      FindRecord record = {};
      for (Error e = fs.FindFirst(&record, dir.c_str()); !e; e = fs.FindNext(&record)) {
        std::string path = dir.empty() ? record.name : dir + "\\" + record.name;
        if (record.attributes & FATTR_DIRECTORY)
          dirs.push_back(path);
        else
          listed.insert(path);
      }
      fs.FindClose(&record);
    }
    std::set<std::string> expected;
    for (const auto &m : members) expected.insert(m.first);
    EXPECT_EQ(listed, expected);
  }

  Error Pack(const std::string &folder, const std::string &out, char *failed = nullptr) {
    std::unique_ptr<CHostFile> file(OpenNativeFile(out, true, true));
    EXPECT_TRUE(file);
    return PackFolder(folder.c_str(), file.get(), failed, failed ? 256 : 0);
  }

  TempDir tmp;
};

TEST_F(PackFolderTest, NestedFoldersRoundTripWithAndWithoutSkipIndex) {
  auto members = MakeTree(1100, 11);
  ASSERT_EQ(Pack(tmp / "tree", tmp / "out.pak"), nullptr);
  ExpectPack(tmp / "out.pak", members);
  std::filesystem::rename(std::filesystem::u8path(tmp / "tree"),
                          std::filesystem::u8path(tmp / "old"));
  members = MakeTree(40, 12);
  // A trailing separator on the folder changes nothing.
  ASSERT_EQ(Pack(tmp / "tree" + "/", tmp / "few.pak"), nullptr);
  ExpectPack(tmp / "few.pak", members);
}

TEST_F(PackFolderTest, AFolderGoesUnderAPrefixBesideSingleFiles) {
  auto tree = MakeTree(30, 13);
  WriteWholeFile(tmp / "patch.ini", std::string("[str]\n"));
  CPackWriter writer;
  ASSERT_EQ(writer.AddFolder((tmp / "tree").c_str(), "Files\\"), nullptr);
  ASSERT_EQ(writer.AddPath("Patch.ini", (tmp / "patch.ini").c_str()), nullptr);
  std::unique_ptr<CHostFile> out(OpenNativeFile(tmp / "out.pak", true, true));
  ASSERT_EQ(writer.WritePack(out.get()), nullptr);
  out.reset();
  std::vector<std::pair<std::string, Bytes>> members;
  for (const auto &m : tree) members.push_back({"FILES\\" + m.first, m.second});
  members.push_back({"PATCH.INI", Bytes{'[', 's', 't', 'r', ']', '\n'}});
  ExpectPack(tmp / "out.pak", members);
}

TEST_F(PackFolderTest, MissingAndEmptySourcesAreRefusedWithTheirPaths) {
  char failed[256];
  EXPECT_NE(Pack(tmp / "nothing", tmp / "out.pak", failed), nullptr);
  EXPECT_EQ(std::string(failed), tmp / "nothing");
  CPackWriter writer;
  EXPECT_EQ(writer.AddPath("X", (tmp / "missing.txt").c_str()), FERR_FILENOTFOUND);
  EXPECT_EQ(std::string(writer.GetFailedName()), tmp / "missing.txt");
  std::filesystem::create_directories(std::filesystem::u8path(tmp / "empty"));
  EXPECT_EQ(writer.AddFolder((tmp / "empty").c_str(), ""), nullptr);
  EXPECT_EQ(writer.GetCount(), 0u);
  EXPECT_EQ(Pack(tmp / "empty", tmp / "out.pak"), ERR_WHATAMESS);
}

TEST_F(PackFolderTest, TheHostFileIsReadThroughTheMountedPack) {
  auto members = MakeTree(120, 14);
  ASSERT_EQ(Pack(tmp / "tree", tmp / "out.pak"), nullptr);
  ASSERT_EQ(MountPack(OpenNativeFile(tmp / "out.pak", false, false), "DATA"), nullptr);
  for (size_t i = 0; i < members.size(); i += 10) {
    std::string path = "DATA\\" + members[i].first;
    std::transform(path.begin(), path.end(), path.begin(), ::tolower);
    FilePtr f(FsOpen(path.c_str(), 0xC1, nullptr));
    ASSERT_TRUE(f) << path;
    EXPECT_EQ(f->GetSize(), members[i].second.size());
  }
}

}  // namespace
