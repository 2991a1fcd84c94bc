#include <gtest/gtest.h>

#include <cstring>

#include "core/text.h"

TEST(TextTest, AppendRefusesWhatDoesNotFitAndKeepsTheText) {
  char buf[8];
  EXPECT_TRUE(CopyText(buf, sizeof buf, "abc"));
  EXPECT_TRUE(AppendText(buf, sizeof buf, "defg"));  // 7 characters fit
  EXPECT_STREQ(buf, "abcdefg");
  EXPECT_FALSE(AppendText(buf, sizeof buf, "h"));
  EXPECT_STREQ(buf, "abcdefg");
  EXPECT_FALSE(CopyText(buf, sizeof buf, "12345678"));
  EXPECT_STREQ(buf, "");
  EXPECT_FALSE(CopyText(buf, 0, "x"));
}

TEST(TextTest, SeparatorIsAddedOnlyWhenMissing) {
  char buf[6] = "ab";
  EXPECT_TRUE(AppendSeparator(buf, sizeof buf));
  EXPECT_STREQ(buf, "ab\\");
  EXPECT_TRUE(AppendSeparator(buf, sizeof buf));
  EXPECT_STREQ(buf, "ab\\");
  char empty[2] = "";
  EXPECT_TRUE(AppendSeparator(empty, sizeof empty));
  EXPECT_STREQ(empty, "");
  char full[3] = "ab";
  EXPECT_FALSE(AppendSeparator(full, sizeof full));
}

TEST(TextTest, UnsafeMemberPathsAreRecognised) {
  EXPECT_TRUE(IsSafeRelativePath("VASK.EXE"));
  EXPECT_TRUE(IsSafeRelativePath("MAPS\\DEEP\\X.MAP"));
  EXPECT_TRUE(IsSafeRelativePath("GAMESPY ARCADE\\A..B"));
  EXPECT_TRUE(IsSafeRelativePath("A.B.\\.X"));
  EXPECT_TRUE(IsSafeRelativePath("CONFIG\\COM10\\NULL.TXT"));
  const char *bad[] = {"",          "..",         "..\\X",       "A\\..\\..\\X",
                       "A/../X",    "\\X",        "/etc/passwd", "C:\\X",
                       "C:X",       "A\\\\B",     "A\\",         ".\\X",
                       "A\\.",      "X\x01Y",     "X\nY",        "NAME:STREAM",
                       "...\\x",    ".. \\X",    "A\\. .",     " ",
                       "CON",       "nul.txt",    "A\\Com1.dat", "LPT9 .x"};
  for (const char *p : bad) EXPECT_FALSE(IsSafeRelativePath(p)) << p;
  EXPECT_FALSE(IsSafeRelativePath(nullptr));
}
