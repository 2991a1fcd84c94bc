// The INI reader (and the hash table under it) and the patch's catalogue of
// texts; in-memory files, the patcher's message box and process exit as doubles.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "config/catalogue.h"
#include "config/message_box.h"
#include "core/ptr_pool.h"
#include "fs/host_file_service.h"
#include "fs/mount_table.h"
#include "support/memory_file.h"
#include "support/temp_dir.h"

namespace {

struct MessageBoxCall {
  std::string text, caption;
  u32 type;
};
std::vector<MessageBoxCall> gBoxes;  // every box shown
std::deque<int> gAnswers;            // the next boxes' answers (then kIdOk)

// A file over a text; each read delivers at most `chunk` bytes and after
// `failAfter` reads every read fails with READFAIL.
struct TextFile : CMemoryFile {
  explicit TextFile(const std::string &text, u32 chunk = ~0u, int failAfter = -1)
      : CMemoryFile(text.data(), text.size()) { maxChunk = chunk, readsLeft = failAfter; }
};

// A sized pool that counts live blocks and refuses the allocation after
// the first `allowed`.
struct CountingPool : CSizedPtrPool {
  explicit CountingPool(int allowedFirst = -1) : allowed(allowedFirst) {}
  void *Allocate(u32 size) override {
    void *p = allowed-- == 0 ? nullptr : CSizedPtrPool::Allocate(size);
    return live += p != nullptr, p;
  }
  void Free(void *p) override { live -= p != nullptr, CSizedPtrPool::Free(p); }
  int allowed, live = 0;
};

// An INI with the patcher's bucket counts, loaded from `text`.
using IniPtr = std::unique_ptr<CHashIni>;
CHashIni *NewIni(CPtrPool *pool = new CSizedPtrPool()) { return new CHashIni(20, 500, pool, 1); }
IniPtr Load(const std::string &text) {
  TextFile file(text);
  CHashIni *ini = NewIni();
  ini->LoadIni(&file);
  return IniPtr(ini);
}
std::string ValueOf(CHashIni *ini, const char *section, const char *key) {
  const char *v = ini->GetValuePtr(section, key);
  return v ? v : "<missing>";
}
int EntryCount(IniSection *s) {
  int n = 0;
  for (IniEntry *e = s->firstEntry; e; e = e->next) ++n;
  return n;
}

}  // namespace

int PlatformMessageBox(const char *text, const char *caption, u32 type) {
  gBoxes.push_back({text, caption, type});
  int answer = gAnswers.empty() ? kIdOk : gAnswers.front();
  if (!gAnswers.empty()) gAnswers.pop_front();
  return answer;
}

void PlatformExitProcess(int code) { std::exit(code); }

TEST(IniHashTest, HashIsTheByteSumRepeatedInEveryByteFoldingOnlyAsciiLetters) {
  struct Case {
    const char *name;
    u32 hash;
  } cases[] = {
      {"abc", 3334915782u}, {"ABC", 3334915782u}, {"aBc", 0xC6C6C6C6u}, {"", 0u},
      {"a", 0x41414141u}, {"ab", 0x83838383u},
      {"title", (0x54u + 0x49 + 0x54 + 0x4C + 0x45) * 0x01010101u},
      {"\xFF", 0xFEFEFEFFu},  // -1: the accumulator starts at 0xFFFFFFFF
  };
  for (const Case &c : cases) EXPECT_EQ(IniHash(c.name), c.hash) << c.name;
  EXPECT_EQ(IniHash("key12"), IniHash("yek21"));  // anagrams collide
  EXPECT_NE(IniHash("\xE9"), IniHash("\xC9"));
}

TEST(HashIniLinesTest, LinesSplitIntoSectionsKeysAndTrimmedValues) {
  std::string zero = std::string("[s]\nk=ab\0cd;x=1\nm=1\n", 20);
  std::string longLine = "[s]\nk=" + std::string(1021, 'v') + "X" + "m=" + std::string(474, 'w') + "\nz=1\n";
  struct Case {
    std::string text;
    const char *section, *key;
    std::string value;
    int entries;  // in `section`, or -1 when not checked
  } cases[] = {
      {"[str]\ntitle = Vask Patch ;c\n", "str", "title", "Vask Patch", 1},
      {"[s]\nk = a = b\n", "s", "k", "a = b", 1},  // the first '=' splits
      {"[s]\nk = \"a b\" \n", "s", "k", "\"a b\"", 1},
      {"[s]\nk=\n", "s", "k", "", 1},
      {"[s]\nk\n", "s", "k", "", 1},
      {"[s]\n=v\n   \n\t\n", "s", "", "<missing>", 0},  // no name, no comment
      {"k=v\n[s]\nm=1\n", "s", "k", "<missing>", 1},   // before any section
      {"[s]\nk=1\nK=2\n", "s", "k", "2", -1},
      {"[str]\na=1\n[STR]\nb=2\n", "str", "a", "<missing>", 1},
      {"[str]\na=1\n[STR]\nb=2\n", "str", "b", "2", 1},
      {"[ str ]\nk=v\n", " str ", "k", "v", 1},
      {"[ str ]\nk=v\n", "str", "k", "<missing>", -1},
      {"[x] = y\nk=v\n", "x", "k", "v", 1},  // brackets before '=' make a header
      {"[x] = y\nk=v\n", "[x] = y", "k", "<missing>", -1},
      {"[s] ;about s\n[]\nk=v\n", "", "k", "v", 1},
      {"[s]\n \tk \t=\t v w \t;x\n", "s", "k", "v w", 1},
      {"[s]\nk=v", "s", "k", "v", 1},  // last line without a line break
      {"\r\n\n[s]\r\na=1\rb=2\n\n\r\n\r\rc=3\r\n\n", "s", "c", "3", 3},  // any line end
      {"[a]\nk=1\n[b]\nj=2\n", "b", "k", "<missing>", 1},
      {"[a]\nk=1\n[b]\nj=2\n", "A", "K", "1", 1},
      {zero, "s", "k", "ab", -1},  // a zero byte ends the line
      {zero, "s", "x", "<missing>", -1},
      {zero, "s", "m", "1", -1},
      // The line buffer loses the 1024th character and reads on.
      {longLine, "s", "k", std::string(1021, 'v'), 3},
      {longLine, "s", "m", std::string(474, 'w'), 3},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.text.substr(0, 40) << " -> [" << c.section << "] " << c.key);
    IniPtr ini = Load(c.text);
    EXPECT_EQ(ValueOf(ini.get(), c.section, c.key), c.value);
    if (c.entries >= 0) {
      ASSERT_NE(ini->FindSection(c.section), nullptr);
      EXPECT_EQ(EntryCount(ini->FindSection(c.section)), c.entries);
    }
  }
  IniPtr ini = Load("[str]\ntitle = Vask Patch ;c\n[STR] ;about s\n");
  EXPECT_STREQ(ini->FindSection("str")->Comment(), "about s");
  EXPECT_STREQ(ini->FindSection("Str")->name, "STR");
  EXPECT_EQ(ini->FirstSection()->next, ini->LastSection());
  EXPECT_EQ(ini->FindKey("str", "title"), nullptr);  // hidden with its section
  EXPECT_STREQ(Load("[s]\nt = V ;c\n")->FindKey("s", "t")->Comment(), "c");
  EXPECT_STREQ(Load(zero)->FindKey("s", "k")->Comment(), "");
  // A header alone is a section only when a line break ends it, unless
  // other lines came before it.
  EXPECT_EQ(Load("[s]")->FindSection("s"), nullptr);
  EXPECT_NE(Load("[s]\n")->FindSection("s"), nullptr);
  EXPECT_NE(Load("[s]\n[t]")->FindSection("t"), nullptr);
}

// Each allocation of a load failing in turn: the load stops with ALLOCFAIL,
// keeps what it had, and leaves nothing behind.
TEST(HashIniLoadTest, EachAllocationFailingInTurnStopsTheLoadCleanly) {
  for (int allowed = 0;; allowed++) {
    CountingPool *pool = new CountingPool(allowed);
    Error e;
    {
      CHashIni ini(20, 500, pool, 0);
      TextFile file("[s]\na=1\nb=2\nc=3\n");
      e = ini.LoadIni(&file);
      EXPECT_EQ(ValueOf(&ini, "s", "a") + ValueOf(&ini, "s", "c"),
                allowed < 2 ? "<missing><missing>" : allowed < 4 ? "1<missing>" : "13");
    }
    EXPECT_EQ(pool->live, 0);
    delete pool;
    if (!e) break;
    ASSERT_EQ(e, ERR_ALLOCFAIL);
  }
}

TEST(HashIniLoadTest, FileIsReadInChunksOf4097BytesWhateverTheReadsDeliver) {
  std::string text = "[s]\n";
  text += std::string(4097 - text.size() - 5, ';') + "\n";  // a comment line
  text += "split=value\n";  // starts 4 bytes before the chunk's end
  while (text.size() < 3 * 4097) text += "key" + std::to_string(text.size()) + "=v\n";
  TextFile file(text);
  IniPtr ini(NewIni());
  ASSERT_EQ(ini->LoadIni(&file), nullptr);
  ASSERT_GE(file.reads.size(), 4u);
  for (u32 size : file.reads) EXPECT_EQ(size, 4097u);
  EXPECT_EQ(ValueOf(ini.get(), "s", "split"), "value");
  TextFile shortReads("[s]\nalpha=1\nbeta=22\n", 3);
  ASSERT_EQ(ini->LoadIni(&shortReads), nullptr);
  EXPECT_EQ(ValueOf(ini.get(), "s", "beta"), "22");
  EXPECT_EQ(ini->FindKey("s", "split"), nullptr);  // loading again replaces
  // A failing read ends the input, keeping what was read.
  TextFile failing("[s]\nfirst=1\n" + std::string(5000, ';') + "\nlast=2\n", ~0u, 1);
  EXPECT_EQ(ini->LoadIni(&failing), nullptr);
  EXPECT_EQ(ValueOf(ini.get(), "s", "first"), "1");
  EXPECT_EQ(ini->FindKey("s", "last"), nullptr);
  EXPECT_EQ(ini->LoadIni(nullptr), ERR_BADPARAMS);  // and clears
  EXPECT_EQ(ini->FindSection("s"), nullptr);
}

TEST(HashIniValueTest, CopyKeepsSizeMinusOneCharactersAndZeroFillsTheRest) {
  IniPtr ini = Load("[s]\nk=abcdef\nq=" + std::string(300, 'q') + "\n");
  char buffer[8], large[400];
  memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(ini->GetValue("s", "k", buffer, 4), nullptr);
  EXPECT_EQ(std::string(buffer, 5), std::string("abc\0#", 5));
  EXPECT_EQ(ini->GetValue("s", "k", buffer, 8), nullptr);
  EXPECT_EQ(ini->GetValue("s", "q", large, 0xFFFFFFFFu), nullptr);
  EXPECT_EQ(std::string(large), std::string(300, 'q'));
  // Refusals, and a missing key or section, leave the buffer alone.
  for (Error e : {ini->GetValue("s", "k", nullptr, 4), ini->GetValue("s", "k", buffer, 0)})
    EXPECT_EQ(e, ERR_UNKNOWN);
  for (Error e : {ini->GetValue("s", "x", buffer, 4), ini->GetValue("t", "k", buffer, 4)})
    EXPECT_EQ(e, ERR_NOTFOUND);
  EXPECT_EQ(std::string(buffer, 8), std::string("abcdef\0\0", 8));
  EXPECT_TRUE(!ini->GetValuePtr("t", "k") && !ini->FindKey(nullptr, "k") && !ini->FindKey("s", nullptr));
}

TEST(HashIniFileTest, FilesOpenForSharedReadingAndAMissingOneKeepsTheContent) {
  // The host's service, telling the mode it is asked for.
  struct ModeHost : CHostFileService {
    u32 mode = 0;
    CFile *Open(const char *path, u32 m, Error *e) override {
      return CHostFileService::Open(path, mode = m, e);
    }
  } *host = new ModeHost;
  ASSERT_EQ(MountTableInit(8), nullptr);
  ASSERT_EQ(RegisterService("", host), nullptr);
  TempDir dir;
  WriteWholeFile(dir / "a.ini", "[s]\nk=v\n");
  IniPtr ini(NewIni());
  ASSERT_EQ(ini->LoadIniFile((dir / "a.ini").c_str()), nullptr);
  EXPECT_EQ(host->mode, 193u);  // read; others may read and write
  // A missing file reports the open's error and keeps the content.
  EXPECT_EQ(ini->LoadIniFile((dir / "missing.ini").c_str()), FERR_FILENOTFOUND);
  EXPECT_EQ(ValueOf(ini.get(), "s", "k"), "v");
  MountTableShutdown();
}

class CatalogueTest : public ::testing::Test {
 protected:
  void Use(const std::string &text) {
    delete gPatchIni;
    gPatchIni = text.empty() ? nullptr : Load(text).release();
  }
  void SetUp() override { gBoxes.clear(), gAnswers.clear(); }
  void TearDown() override { Use(""); }
};

TEST_F(CatalogueTest, TextsAreValuesOfSectionStrWithBarsAsLineFeedsInOneBuffer) {
  Use("[other]\nk=no\nwelcome2=x\n[str]\nk=yes\nb=a|b||c|\nver=10009\na=1\nbb=01\nc=yes\nd=\ne= 1 \n");
  const char *k = GetText("k");
  EXPECT_STREQ(k, "yes");
  EXPECT_EQ(GetText("b"), k);
  EXPECT_STREQ(k, "a\nb\n\nc\n");
  EXPECT_STREQ(GetText("missing"), "");
  EXPECT_STREQ(GetText(nullptr), "");
  EXPECT_TRUE(GetHexNumber("ver") == 0x10009u && GetHexNumber("missing") == 0u);
  for (const char *on : {"a", "e"}) EXPECT_TRUE(GetFlag(on)) << on;  // the INI trimmed e
  for (const char *off : {"bb", "c", "d", "zel_shortcut"}) EXPECT_FALSE(GetFlag(off)) << off;
  char message[300];
  EXPECT_FALSE(FormatWelcome2(message, 256, 1, 1, "x"));  // a missing text is reported
  EXPECT_STREQ(message, "");
  Use("");
  EXPECT_STREQ(GetText("k"), "");
  // A value longer than any file line can be is cut to 4094 characters.
  struct LongValueIni : CHashIni {
    LongValueIni() : CHashIni(20, 500, new CSizedPtrPool(), 1) {}
    u32 ReadLine(char *, char **name, char **value, char **comment) override {
      static char header[] = "[str]", key[] = "long", empty[] = "";
      *comment = *value = empty;
      *name = line++ == 0 ? header : key;
      if (line == 2) *value = &text[0];
      return line < 2;
    }
    std::string text = std::string(5000, 'x');
    int line = 0;
  } *ini = new LongValueIni();
  TextFile unused("");
  ASSERT_EQ(ini->LoadIni(&unused), nullptr);
  gPatchIni = ini;
  EXPECT_EQ(std::string(GetText("long")), std::string(4094, 'x'));
}

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
  char expected[64], out[256];
  for (const char *f : {"%d", "%i", "%u", "%x", "%X", "%o", "%5d", "%-5d|", "%05d", "%+d", "% d", "%.3d",
                        "%8.3d",
                        "%#x", "%#X", "%#o", "%.0d", "%02d", "%-+6i|", "%#10x", "%c"}) {
    for (i32 v : {0, 7, -7, 65, 255, 10009, INT_MAX, INT_MIN}) {
      if (f[strlen(f) - 1] == 'c' && (v <= 0 || v > 127)) continue;
      FormatArg arg = FormatArg::Int(v);
      EXPECT_EQ(FormatText(out, sizeof out, f, &arg, 1), static_cast<u32>(snprintf(expected, 64, f, v)));
      EXPECT_STREQ(out, expected) << f << " " << v;
    }
  }
  FormatArg texts[] = {FormatArg::Text("ab"), FormatArg::Text("cd"), FormatArg::Text("ef")};
  FormatText(out, sizeof out, "[%6s|%-6s|%.1s]", texts, 3);
  snprintf(expected, sizeof expected, "[%6s|%-6s|%.1s]", "ab", "cd", "ef");
  EXPECT_STREQ(out, expected);
}

TEST_F(CatalogueTest, Welcome2AndTheCopyErrorFillTheirFormatsWithinTheBuffer) {
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
  // The copy error names the file; a hostile format is harmless.
  Use("[str]\nerrcopy=Cannot copy %s.|Retry?\n");
  FormatErrCopy(message, sizeof message, "PACKS\\DATA2.WDT");
  EXPECT_STREQ(message, "Cannot copy PACKS\\DATA2.WDT.\nRetry?");
  Use("[str]\nerrcopy=%s %s %d %n %x %\n");
  FormatErrCopy(message, sizeof message, "a.txt");
  EXPECT_STREQ(message, "a.txt %s %d %n %x %");
}

// What the player sees is checked end to end; here the bound of the title.
TEST_F(CatalogueTest, AskUserShowsTheTextUnderTheTitleCutAt255) {
  Use("[str]\ntitle=" + std::string(300, 't') + "\nk=v\n");
  gAnswers = {kIdNo};
  EXPECT_EQ(AskUser("k", kMbYesNo), kIdNo);
  ASSERT_EQ(gBoxes.size(), 1u);
  EXPECT_TRUE(gBoxes[0].text == "v" && gBoxes[0].caption == std::string(255, 't') &&
              gBoxes[0].type == kMbYesNo);
}

