#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "archive/pool_fs.h"
#include "fs/mount_table.h"
#include "pool_test_support.h"

namespace {

typedef std::map<std::string, std::string> Tree;  // path -> bytes or "<dir>"

Error Collect(void *context, const char *path, u32 attributes, u32 size,
              CFile *file) {
  std::string data = "<dir>";
  if (!(attributes & FATTR_DIRECTORY)) {
    data.assign(size, '\0');
    Error e = size ? file->Read(&data[0], size, nullptr) : nullptr;
    if (e) return e;
  }
  (*static_cast<Tree *>(context))[path] = data;
  return nullptr;
}

class PoolImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(MountTableInit(8), nullptr);
    ASSERT_EQ(HostFsInit(), nullptr);
  }
  void TearDown() override {
    HostFsShutdown();
    MountTableShutdown();
  }
  TempDir dir;
};

TEST_F(PoolImageTest, NewPoolFileHasOnlyItsHeaderBlock) {
  PoolFileAt file(dir / "p.pool");
  std::unique_ptr<CBFHP> pool(file.Create(256, 12, 500));
  ASSERT_TRUE(pool);
  EXPECT_EQ(pool->BlockSize(), 256u);
  EXPECT_EQ(pool->HeadSize(), 12u);
  EXPECT_EQ(pool->MaxBlocks(), 500u);
  EXPECT_EQ(pool->BlockCount(), 1u);
  EXPECT_EQ(pool->FreeCount(), 0u);
  EXPECT_EQ(pool->GetUserValue(), 0u);
  EXPECT_EQ(file.Bytes().size(), 256u);
  pool.reset(file.Create(1024, 8));
  EXPECT_EQ(pool->MaxBlocks(), 0x7FFFFFFFu / 1024);

  std::unique_ptr<CFile> f(OpenNativeFile(dir / "q.pool", true, true));
  EXPECT_EQ(CreatePoolFile(f.get(), 30), ERR_BADPARAMS);
  EXPECT_EQ(CreatePoolFile(f.get(), 2u << 20), ERR_BADPARAMS);
  EXPECT_EQ(CreatePoolFile(f.get(), 64, 64), ERR_BADPARAMS);
  EXPECT_EQ(CreatePoolFile(f.get(), 64, 4), ERR_BADPARAMS);
  EXPECT_EQ(CreatePoolFile(f.get(), 64, 10), ERR_BADPARAMS);
  EXPECT_EQ(CreatePoolFile(nullptr), ERR_BADPARAMS);
}

TEST_F(PoolImageTest, FolderImageHoldsEveryFileAndFolder) {
  std::string src = dir / "src";
  ASSERT_EQ(FsMakeDir(dir.path().c_str(), "src"), nullptr);
  ASSERT_EQ(FsMakeDir(src.c_str(), "Local"), nullptr);
  ASSERT_EQ(FsMakeDir(src.c_str(), "empty"), nullptr);
  ASSERT_EQ(FsMakeDir((src + "/Local").c_str(), "deep"), nullptr);
  Tree expected = {{"Local", "<dir>"}, {"empty", "<dir>"}, {"Local\\deep", "<dir>"}};
  const char *files[] = {"a.txt", "Local/strings.ini", "Local/deep/big.bin",
                         "Local/zero"};
  unsigned seed = 1;
  for (const char *f : files) {
    size_t size = std::string(f) == "Local/zero" ? 0
                  : std::string(f) == "Local/deep/big.bin" ? 200000 : 3000;
    auto bytes = PatternBytes(size, seed++);
    WriteWholeFile(src + "/" + f, bytes);
    std::string key = f;
    for (char &c : key)
      if (c == '/') c = '\\';
    expected[key] = std::string(bytes.begin(), bytes.end());
  }
  std::string out = dir / "image.pool";
  PoolImageStats stats;
  char failed[kPoolImagePathMax];
  ASSERT_EQ(BuildPoolImage(src.c_str(), out.c_str(), 512, &stats, failed), nullptr)
      << failed;
  EXPECT_EQ(stats.files, 4u);
  EXPECT_EQ(stats.directories, 3u);
  EXPECT_EQ(stats.bytes, 206000u);

  Error e;
  std::unique_ptr<CHPFS> fs(
      OpenPoolFileSystem(OpenNativeFile(out, false, false), &e));
  ASSERT_TRUE(fs) << ErrorText(e);
  EXPECT_EQ(static_cast<CBFHP *>(fs->Pool())->BlockSize(), 512u);
  Tree seen;
  ASSERT_EQ(PoolWalk(fs.get(), Collect, &seen), nullptr);
  EXPECT_EQ(seen, expected);
}

TEST_F(PoolImageTest, MissingSourceFolderFailsAndNamesIt) {
  PoolImageStats stats;
  char failed[kPoolImagePathMax];
  std::string missing = dir / "nope";
  EXPECT_NE(BuildPoolImage(missing.c_str(), (dir / "o.pool").c_str(), 1024,
                           &stats, failed),
            nullptr);
  EXPECT_EQ(std::string(failed), missing);
  EXPECT_FALSE(PathExists(dir / "o.pool"));
}

TEST_F(PoolImageTest, WalkStopsAtTheVisitorsError) {
  Error e;
  std::unique_ptr<CHPFS> fs(CreatePoolFileSystem(
      OpenNativeFile(dir / "w.pool", true, true), 64, &e));
  ASSERT_TRUE(fs);
  ASSERT_EQ(fs->MakeDir("", "x"), nullptr);
  ASSERT_EQ(fs->MakeDir("x", "y"), nullptr);
  int calls = 0;
  EXPECT_EQ(PoolWalk(fs.get(), [](void *c, const char *, u32, u32, CFile *) -> Error {
              ++*static_cast<int *>(c);
              return FERR_DISKFULL;
            }, &calls),
            FERR_DISKFULL);
  EXPECT_EQ(calls, 1);
}

}  // namespace
