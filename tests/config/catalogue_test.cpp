#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/catalogue.h"
#include "config_test_support.h"
#include "patcher/platform.h"

namespace {

// Exit code -1 as the test's parent sees it.
#ifdef _WIN32
const int kExitMinusOne = -1;
#else
const int kExitMinusOne = 255;
#endif

class CatalogueTest : public ::testing::Test {
 protected:
  void Use(const std::string &text) {
    delete gPatchIni;
    gPatchIni = IniFromText(text);
  }
  void SetUp() override { ResetMessageBoxes(); }
  void TearDown() override {
    delete gPatchIni;
    gPatchIni = nullptr;
  }
};

// A reader whose section "str" holds one key "long" with a value longer than
// any file line can be.
class LongValueIni : public CHashIni {
 public:
  explicit LongValueIni(std::string value)
      : CHashIni(20, 500, new CSizedPtrPool(), 1), mValue(std::move(value)) {}
  u32 ReadLine(char *line, char **name, char **value,
               char **comment) override {
    static char header[] = "[str]";
    static char key[] = "long";
    static char empty[] = "";
    *comment = empty;
    *value = empty;
    *name = mLine++ == 0 ? header : key;
    if (mLine == 2) *value = &mValue[0];
    return mLine < 2 ? 1 : 0;
  }

 private:
  std::string mValue;
  int mLine = 0;
};

std::string Format(const char *format, std::initializer_list<FormatArg> args,
                   u32 size = 256) {
  std::string buffer(size, '#');
  u32 n = FormatText(&buffer[0], size, format, args.begin(),
                     static_cast<u32>(args.size()));
  EXPECT_EQ(n, strlen(buffer.c_str()));
  return buffer.c_str();
}

}  // namespace

// --- Texts -------------------------------------------------------------------

TEST_F(CatalogueTest, TextIsTheValueInSectionStrWithBarsAsLineFeeds) {
  Use("[other]\nk=no\n[str]\nk=yes\nb=a|b||c|\n");
  const char *k = GetText("k");
  EXPECT_STREQ(k, "yes");
  const char *b = GetText("b");
  EXPECT_EQ(k, b);  // one shared buffer
  EXPECT_STREQ(b, "a\nb\n\nc\n");
  EXPECT_STREQ(GetText("missing"), "");
  EXPECT_STREQ(GetText(nullptr), "");
  Use("[other]\nk=v\n");
  EXPECT_STREQ(GetText("k"), "");
  delete gPatchIni;
  gPatchIni = nullptr;
  EXPECT_STREQ(GetText("k"), "");
}

TEST_F(CatalogueTest, VeryLongValueIsCutTo4094Characters) {
  LongValueIni *ini = new LongValueIni(std::string(5000, 'x'));
  MemoryFile unused("");
  ASSERT_EQ(ini->LoadIni(&unused), nullptr);
  gPatchIni = ini;
  EXPECT_EQ(std::string(GetText("long")), std::string(4094, 'x'));
}

// --- Numbers and flags ---------------------------------------------------------

TEST(HexVersionTest, ParsesLikeASignedBase16NumberClampedToI32) {
  const std::string many(200, 'f');
  struct Case {
    const char *text;
    u32 value;
  } cases[] = {
      {"10009", 0x10009u}, {"0x10009", 0x10009u}, {"0X1a", 0x1Au},
      {" -1", 0xFFFFFFFFu}, {"\t\n+ff", 0xFFu}, {"12zz34", 0x12u},
      // No digits.
      {"", 0u}, {"zz", 0u}, {"-", 0u}, {"0x", 0u}, {nullptr, 0u},
      // Out of range.
      {"FFFFFFFFF", 0x7FFFFFFFu}, {"80000000", 0x7FFFFFFFu},
      {"7FFFFFFF", 0x7FFFFFFFu}, {"-FFFFFFFFF", 0x80000000u},
      {"-80000000", 0x80000000u}, {"-80000001", 0x80000000u},
      {many.c_str(), 0x7FFFFFFFu},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    EXPECT_EQ(ParseHexVersion(c.text), c.value);
  }
}

TEST_F(CatalogueTest, VersionKeysAreHexadecimalAndAFlagIsOnOnlyForExactlyOne) {
  Use("[str]\nver=10009\nvermin=10001\na=1\nb=01\nc=yes\nd=\ne= 1 \n");
  EXPECT_EQ(GetHexNumber("ver"), 0x10009u);
  EXPECT_EQ(GetHexNumber("vermin"), 0x10001u);
  EXPECT_EQ(GetHexNumber("missing"), 0u);
  EXPECT_TRUE(GetFlag("a"));
  EXPECT_TRUE(GetFlag("e"));  // the INI trimmed it
  for (const char *off : {"b", "c", "d", "zel_shortcut"}) EXPECT_FALSE(GetFlag(off)) << off;
}

// --- Formatting ----------------------------------------------------------------

TEST(FormatTextTest, UnfitDirectivesStayLiteralAndTheBufferBoundsEverything) {
  const FormatArg x = FormatArg::Text("X"), t = FormatArg::Text("T"), a = FormatArg::Text("abc"),
                  one = FormatArg::Int(1), three = FormatArg::Int(3), five = FormatArg::Int(5);
  struct Case {
    const char *format;
    std::vector<FormatArg> args;
    std::string expected;
    u32 size = 256;
  } cases[] = {
      // Extra conversions are copied and never read arguments.
      {"%s%s%s%n", {x}, "X%s%s%n"}, {"%n", {one}, "%n"}, {"%s", {}, "%s"},
      // A conversion of the wrong kind takes no argument.
      {"%d-%s", {t}, "%d-T"}, {"%s-%d", {five}, "%s-5"},
      // Stars, positions and unknown letters.
      {"%*d", {three, five}, "%*d"}, {"%1$s", {a}, "%1$s"},
      {"%f%p%lld", {one}, "%f%p%lld"}, {"%-%d", {one}, "%-%d"},
      // Percent signs at the end and doubled.
      {"100%", {}, "100%"}, {"100%%", {}, "100%"}, {"%%d", {one}, "%d"}, {"%05", {one}, "%05"},
      // Huge widths and precisions are cut at the buffer.
      {"%99999d", {five}, std::string(255, ' ')}, {"%-99999dZ", {five}, "5" + std::string(254, ' ')},
      {"%.99999d", {five}, std::string(255, '0')},
      {"%99999999999999999999s", {a}, std::string(255, ' ')},
      {"%.99999s|", {a}, "abc|"}, {"%.2s|", {a}, "ab|"},
      {"%ld/%lx", {FormatArg::Int(-5), FormatArg::Int(255)}, "-5/ff"},
      {"[%3c]", {FormatArg::Int(0)}, "[   ]"},  // character zero: padding only
      {"abc", {}, "", 1}, {"%d", {FormatArg::Int(12345)}, "12", 3},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.format);
    std::string buffer(c.size, '#');
    u32 n = FormatText(&buffer[0], c.size, c.format, c.args.data(), static_cast<u32>(c.args.size()));
    EXPECT_EQ(std::string(buffer.c_str()), c.expected);
    EXPECT_EQ(n, c.expected.size());
  }
  char untouched = '#';
  EXPECT_EQ(FormatText(&untouched, 0, "abc", nullptr, 0), 0u);
  EXPECT_EQ(untouched, '#');
}

TEST(FormatTextTest, ValidDirectivesMatchPrintf) {
  const char *formats[] = {"%d",   "%i",    "%u",   "%x",    "%X",  "%o",
                           "%5d",  "%-5d|", "%05d", "%+d",   "% d", "%.3d",
                           "%8.3d", "%#x",  "%#X",  "%#o",   "%.0d", "%02d",
                           "%-+6i|", "%#10x", "%c"};
  const i32 values[] = {0, 7, -7, 65, 255, 10009, INT_MAX, INT_MIN};
  for (const char *f : formats) {
    for (i32 v : values) {
      if (f[strlen(f) - 1] == 'c' && (v <= 0 || v > 127)) continue;
      char expected[64];
      snprintf(expected, sizeof expected, f, v);
      EXPECT_EQ(Format(f, {FormatArg::Int(v)}), expected) << f << " " << v;
    }
  }
  char expected[64];
  snprintf(expected, sizeof expected, "[%6s|%-6s|%.1s]", "ab", "cd", "ef");
  EXPECT_EQ(Format("[%6s|%-6s|%.1s]",
                   {FormatArg::Text("ab"), FormatArg::Text("cd"),
                    FormatArg::Text("ef")}),
            expected);
}

TEST_F(CatalogueTest, Welcome2ShowsVersionAndFolderCutAt255Characters) {
  Use("[str]\nwelcome2=Installed version: %d.%02d|Folder: %s|Update it?\n");
  char message[300];
  EXPECT_TRUE(FormatWelcome2(message, 256, 1, 1, "C:\\Games\\Vask\\"));
  EXPECT_STREQ(message, "Installed version: 1.01\nFolder: C:\\Games\\Vask\\\nUpdate it?");
  Use("[str]\nwelcome2=Version %d.%02d in %s, continue?\n");
  std::string folder(400, 'F');
  memset(message, '#', sizeof message);
  EXPECT_TRUE(FormatWelcome2(message, 256, 1, 9, folder.c_str()));
  EXPECT_EQ(strlen(message), 255u);
  EXPECT_EQ(std::string(message, 20), "Version 1.09 in FFFF");
  EXPECT_EQ(message[256], '#');
  // A missing text is reported, with an empty message.
  Use("[str]\nwelcome=Hi\n");
  EXPECT_FALSE(FormatWelcome2(message, 256, 1, 1, "x"));
  EXPECT_STREQ(message, "");
}

TEST_F(CatalogueTest, ErrCopyNamesTheFileAndAHostileFormatIsHarmless) {
  char message[256];
  Use("[str]\nerrcopy=Cannot copy %s.|Retry?\n");
  FormatErrCopy(message, sizeof message, "PACKS\\DATA2.WDT");
  EXPECT_STREQ(message, "Cannot copy PACKS\\DATA2.WDT.\nRetry?");
  Use("[str]\nerrcopy=%s %s %d %n %x %\n");
  FormatErrCopy(message, sizeof message, "a.txt");
  EXPECT_STREQ(message, "a.txt %s %d %n %x %");
}

// --- Prompts -------------------------------------------------------------------

TEST_F(CatalogueTest, AskUserShowsTheTextUnderTheTitleCutAt255) {
  Use("[str]\ntitle=Vask Patch\nwelcome=Install?|Sure?\ngamespy=Run it?\n");
  gMessageBoxAnswers = {kIdNo, kIdYes};
  EXPECT_EQ(AskUser("welcome", kMbYesNo | kMbIconInformation), kIdNo);
  // A text from the shared buffer is kept while the caption is fetched.
  EXPECT_EQ(AskUserText(GetText("gamespy"), kMbYesNo), kIdYes);
  Use("[str]\n");
  EXPECT_EQ(AskUser("done", kMbOk), kIdOk);
  Use("[str]\ntitle=" + std::string(300, 't') + "\nk=v\n");
  AskUser("k", kMbOk);
  ASSERT_EQ(gMessageBoxCalls.size(), 4u);
  const MessageBoxCall want[] = {{"Install?\nSure?", "Vask Patch", 68u}, {"Run it?", "Vask Patch", 4u},
                                 {"", "", 0u}, {"v", std::string(255, 't'), 0u}};
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(gMessageBoxCalls[i].text, want[i].text) << i;
    EXPECT_EQ(gMessageBoxCalls[i].caption, want[i].caption) << i;
    EXPECT_EQ(gMessageBoxCalls[i].type, want[i].type) << i;
  }
}

TEST_F(CatalogueTest, FatalMessageShowsAnErrorBoxAndExitsWithMinusOne) {
  Use("[str]\ntitle=Vask Patch\nnovask=Game not found\n");
  EXPECT_EXIT(FatalMessage("novask"), ::testing::ExitedWithCode(kExitMinusOne),
              "last box: type=16 caption=\\[Vask Patch\\] "
              "text=\\[Game not found\\]");
}
