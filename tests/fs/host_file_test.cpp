#include <gtest/gtest.h>

#include <memory>

#include "support/temp_dir.h"

class HostFileTest : public ::testing::Test {
 protected:
  std::unique_ptr<CHostFile> Open(const std::vector<u8> &contents) {
    WriteWholeFile(dir / "f.bin", contents);
    return std::unique_ptr<CHostFile>(OpenNativeFile(dir / "f.bin", true, false));
  }
  TempDir dir;
};

TEST_F(HostFileTest, ShortReadReportsEofWithTheCount) {
  auto f = Open(PatternBytes(10, 1));
  ASSERT_TRUE(f);
  EXPECT_EQ(f->valid, 1u);
  u8 buf[16];
  u32 n = 0;
  EXPECT_EQ(f->Read(buf, 16, &n), FERR_EOF);
  EXPECT_EQ(n, 10u);
  f->Seek(0, 0);
  EXPECT_EQ(f->Read(buf, 10, &n), nullptr);
  EXPECT_EQ(n, 10u);
  // Without a count the private count still decides EOF.
  f->Seek(0, 0);
  EXPECT_EQ(f->Read(buf, 10, nullptr), nullptr);
  EXPECT_EQ(f->Read(buf, 1, nullptr), FERR_EOF);
}

TEST_F(HostFileTest, SeekFromTheEndMovesBack) {
  auto f = Open(PatternBytes(100, 2));
  EXPECT_EQ(f->Seek(-4, 2), nullptr);
  EXPECT_EQ(f->Tell(), 96u);
  EXPECT_EQ(f->Seek(10, 1), nullptr);
  EXPECT_EQ(f->Tell(), 106u);
  EXPECT_EQ(f->GetSize(), 100u);
  EXPECT_EQ(f->Seek(-1, 0), FERR_SEEKFAIL);
}

TEST_F(HostFileTest, WriteWithoutCountAndTruncateAtPosition) {
  auto f = Open(PatternBytes(50, 3));
  EXPECT_EQ(f->WriteAt("abcd", 48, 4, nullptr), nullptr);
  EXPECT_EQ(f->GetSize(), 52u);
  EXPECT_EQ(f->Seek(20, 0), nullptr);
  EXPECT_EQ(f->Truncate(), nullptr);
  EXPECT_EQ(f->GetSize(), 20u);
  // Truncate past the end lengthens the file.
  EXPECT_EQ(f->Seek(30, 0), nullptr);
  EXPECT_EQ(f->Truncate(), nullptr);
  EXPECT_EQ(f->GetSize(), 30u);
  EXPECT_EQ(f->Flush(), nullptr);
  f.reset();
  auto bytes = ReadWholeFile(dir / "f.bin");
  ASSERT_EQ(bytes.size(), 30u);
  auto original = PatternBytes(50, 3);
  EXPECT_EQ(std::vector<u8>(bytes.begin(), bytes.begin() + 20),
            std::vector<u8>(original.begin(), original.begin() + 20));
  EXPECT_EQ(bytes[25], 0);
}

TEST_F(HostFileTest, MoveDataOnARealFile) {
  std::vector<u8> v(20);
  for (int i = 0; i < 20; i++) v[i] = static_cast<u8>(i);
  auto f = Open(v);
  EXPECT_EQ(f->MoveData(10, 0, 0x7FFFFFFF, 4, nullptr), nullptr);
  f.reset();
  auto bytes = ReadWholeFile(dir / "f.bin");
  ASSERT_EQ(bytes.size(), 30u);
  for (int i = 10; i < 30; i++) EXPECT_EQ(bytes[i], i - 10);
}

TEST_F(HostFileTest, PropertyGivesTheNativeHandle) {
  auto f = Open({1, 2, 3});
  uintptr_t h = 0;
  EXPECT_EQ(f->GetProperty(PID_HOSTHANDLE, &h, 0), nullptr);
  EXPECT_EQ(h, f->NativeHandle());
  EXPECT_EQ(f->GetProperty(0x1234, &h, 0), FERR_UNKNOWNPID);
  EXPECT_EQ(f->GetClassName(), CFile::sClassName);
}

TEST_F(HostFileTest, WriteToAReadOnlyHandleFails) {
  WriteWholeFile(dir / "ro.bin", std::string("data"));
  std::unique_ptr<CHostFile> f(OpenNativeFile(dir / "ro.bin", false, false));
  ASSERT_TRUE(f);
  Error e = f->Write("x", 1, nullptr);
  EXPECT_NE(e, nullptr);
}
