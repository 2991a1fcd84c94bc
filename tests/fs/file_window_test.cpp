#include <gtest/gtest.h>

#include <memory>

#include "fs/file_window.h"
#include "support/temp_dir.h"

class FileWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bytes = PatternBytes(200, 9);
    WriteWholeFile(dir / "p.bin", bytes);
    parent.reset(OpenNativeFile(dir / "p.bin", true, false));
    ASSERT_TRUE(parent);
  }
  TempDir dir;
  std::vector<u8> bytes;
  std::unique_ptr<CHostFile> parent;
};

TEST_F(FileWindowTest, RestOfParentAndTranslatedReads) {
  parent->Seek(100, 0);
  parent->Truncate();  // 100-byte parent
  CFileWindow w(parent.get(), 30, 0xFFFFFFFFu, 0);
  EXPECT_EQ(w.GetSize(), 70u);
  EXPECT_EQ(w.Tell(), 0u);
  u8 buf[4];
  u32 n;
  EXPECT_EQ(w.ReadAt(buf, 0, 4, &n), nullptr);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(0, memcmp(buf, &bytes[30], 4));
  EXPECT_EQ(w.valid, 0u);
}

TEST_F(FileWindowTest, SeekFromEndCountsBackwards) {
  CFileWindow w(parent.get(), 30, 70, 0);
  EXPECT_EQ(w.Seek(10, 2), nullptr);
  EXPECT_EQ(parent->Tell(), 90u);
  EXPECT_EQ(w.Tell(), 60u);
  EXPECT_EQ(w.Seek(5, 1), nullptr);
  EXPECT_EQ(w.Tell(), 65u);
  EXPECT_EQ(w.Seek(1, 3), nullptr);
  EXPECT_EQ(w.Tell(), 65u);
}

TEST_F(FileWindowTest, ReadsPastTheWindowReachTheParent) {
  CFileWindow w(parent.get(), 30, 70, 0);
  u8 buf[8];
  EXPECT_EQ(w.ReadAt(buf, 68, 8, nullptr), nullptr);
  EXPECT_EQ(0, memcmp(buf, &bytes[98], 8));
}

TEST_F(FileWindowTest, SequentialAccessGoesThroughAtTheTranslatedPosition) {
  CFileWindow w(parent.get(), 50, 0xFFFFFFFFu, 0);
  u8 buf[3];
  EXPECT_EQ(w.Read(buf, 3, nullptr), nullptr);
  EXPECT_EQ(0, memcmp(buf, &bytes[50], 3));
  EXPECT_EQ(w.Tell(), 3u);
  EXPECT_EQ(w.Write("xyz", 3, nullptr), nullptr);
  EXPECT_EQ(w.ReadAt(buf, 3, 3, nullptr), nullptr);
  EXPECT_EQ(0, memcmp(buf, "xyz", 3));
  EXPECT_EQ(w.WriteAt("Q", 0, 1, nullptr), nullptr);
  parent->ReadAt(buf, 50, 1, nullptr);
  EXPECT_EQ(buf[0], 'Q');
}

TEST_F(FileWindowTest, MoveDataIsTranslatedAndOwnedParentGoesWithIt) {
  CFileWindow *w = new CFileWindow(parent.release(), 100, 0xFFFFFFFFu, 1);
  EXPECT_EQ(w->MoveData(0, 10, 20, 7, nullptr), nullptr);
  u8 buf[20];
  EXPECT_EQ(w->ReadAt(buf, 0, 20, nullptr), nullptr);
  EXPECT_EQ(0, memcmp(buf, &bytes[110], 20));
  uintptr_t h;
  EXPECT_EQ(w->GetProperty(PID_HOSTHANDLE, &h, 0), FERR_UNKNOWNPID);
  delete w;  // closes the owned host file; sanitizers check it once
}
