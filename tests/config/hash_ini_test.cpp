#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "config/hash_ini.h"
#include "config_test_support.h"
#include "fs/mount_table.h"
#include "support/temp_dir.h"

namespace {

// A sized pool that counts live blocks and can refuse after a number of
// allocations.
class CountingPool : public CSizedPtrPool {
 public:
  explicit CountingPool(int allowed = -1) : mAllowed(allowed) {}
  void *Allocate(u32 size) override {
    if (mAllowed == 0) return nullptr;
    if (mAllowed > 0) --mAllowed;
    void *p = CSizedPtrPool::Allocate(size);
    live += p != nullptr;
    return p;
  }
  void Free(void *p) override {
    live -= p != nullptr;
    CSizedPtrPool::Free(p);
  }
  int live = 0;

 private:
  int mAllowed;
};

using IniPtr = std::unique_ptr<CHashIni>;

IniPtr Load(const std::string &text) { return IniPtr(IniFromText(text)); }

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

TEST(HashIniLinesTest, CommentLineIsListedButNeverFoundAndEveryNodeIsAlignedAndFreed) {
  CountingPool *pool = new CountingPool();
  IniPtr ini(new CHashIni(20, 500, pool, 1));
  MemoryFile file("[s]\na=1\n; note\n=v ;c\nb=2\n[odd]\nlonger_key_name=1\n");
  ASSERT_EQ(ini->LoadIni(&file), nullptr);
  IniSection *s = ini->FindSection("s");
  ASSERT_EQ(EntryCount(s), 4);
  IniEntry *note = s->firstEntry->next;
  EXPECT_STREQ(note->name, "");
  EXPECT_STREQ(note->Comment(), " note");  // comments are not trimmed
  EXPECT_EQ(note->prev, s->firstEntry);
  EXPECT_EQ(note->section, s);
  EXPECT_EQ(ini->FindKey("s", ""), nullptr);
  EXPECT_EQ(pool->live, 7);
  for (IniSection *s = ini->FirstSection(); s; s = s->next) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(s) % alignof(void *), 0u);
    for (IniEntry *e = s->firstEntry; e; e = e->next)
      EXPECT_EQ(reinterpret_cast<uintptr_t>(e) % alignof(void *), 0u);
  }
  ini->ClearIni();
  EXPECT_EQ(pool->live, 0);
  EXPECT_EQ(ini->FirstSection(), nullptr);
}

// Each allocation of a load failing in turn: the load stops with ALLOCFAIL,
// keeps what it had, and leaves nothing behind.
TEST(HashIniLoadTest, EachAllocationFailingInTurnStopsTheLoadCleanly) {
  for (int allowed = 0;; allowed++) {
    CountingPool *pool = new CountingPool(allowed);
    Error e;
    {
      CHashIni ini(20, 500, pool, 0);
      MemoryFile file("[s]\na=1\nb=2\nc=3\n");
      e = ini.LoadIni(&file);
      if (allowed == 2) {
        EXPECT_EQ(ValueOf(&ini, "s", "a"), "1");
        EXPECT_EQ(ini.FindKey("s", "b"), nullptr);
      }
      EXPECT_TRUE(e || ValueOf(&ini, "s", "c") == "3");
    }
    EXPECT_EQ(pool->live, 0);
    delete pool;
    if (!e) break;
    ASSERT_EQ(e, ERR_ALLOCFAIL);
  }
}

TEST(HashIniLinesTest, RandomBytesNeverBreakTheReader) {
  std::mt19937 rng(7);
  const char alphabet[] = "[]=; \t\r\nab\0\xff";
  for (int round = 0; round < 200; ++round) {
    std::string text = "[s]\n";
    size_t n = rng() % 6000;
    for (size_t i = 0; i < n; ++i)
      text += (rng() % 4) ? alphabet[rng() % (sizeof alphabet - 1)] : static_cast<char>(rng());
    CountingPool *pool = new CountingPool();
    {
      CHashIni ini(20, 500, pool, 0);
      MemoryFile file(text, 1 + rng() % 5000);
      EXPECT_EQ(ini.LoadIni(&file), nullptr);
      ini.FindKey("s", "a");
    }
    EXPECT_EQ(pool->live, 0);
    delete pool;
  }
}

TEST(HashIniLoadTest, FileIsReadInChunksOf4097BytesWhateverTheReadsDeliver) {
  std::string text = "[s]\n";
  text += std::string(4097 - text.size() - 5, ';') + "\n";  // a comment line
  text += "split=value\n";  // starts 4 bytes before the chunk's end
  while (text.size() < 3 * 4097) text += "key" + std::to_string(text.size()) + "=v\n";
  MemoryFile file(text);
  IniPtr ini(NewIni());
  ASSERT_EQ(ini->LoadIni(&file), nullptr);
  ASSERT_GE(file.requestedSizes.size(), 4u);
  for (u32 size : file.requestedSizes) EXPECT_EQ(size, 4097u);
  EXPECT_EQ(ValueOf(ini.get(), "s", "split"), "value");
  MemoryFile shortReads("[s]\nalpha=1\nbeta=22\n", 3);
  ASSERT_EQ(ini->LoadIni(&shortReads), nullptr);
  EXPECT_EQ(ValueOf(ini.get(), "s", "beta"), "22");
  EXPECT_EQ(ini->FindKey("s", "split"), nullptr);  // loading again replaces
  // A failing read ends the input, keeping what was read.
  MemoryFile failing("[s]\nfirst=1\n" + std::string(5000, ';') + "\nlast=2\n", 0xFFFFFFFFu, 1);
  EXPECT_EQ(ini->LoadIni(&failing), nullptr);
  EXPECT_EQ(ValueOf(ini.get(), "s", "first"), "1");
  EXPECT_EQ(ini->FindKey("s", "last"), nullptr);
  EXPECT_EQ(ini->LoadIni(nullptr), ERR_BADPARAMS);  // and clears
  EXPECT_EQ(ini->FindSection("s"), nullptr);
}

TEST(HashIniValueTest, CopyKeepsSizeMinusOneCharactersAndZeroFillsTheRest) {
  IniPtr ini = Load("[s]\nk=abcdef\nq=" + std::string(300, 'q') + "\n");
  char buffer[8];
  memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(ini->GetValue("s", "k", buffer, 4), nullptr);
  EXPECT_EQ(std::string(buffer, 5), std::string("abc\0#", 5));
  EXPECT_EQ(ini->GetValue("s", "k", buffer, 8), nullptr);
  EXPECT_EQ(std::string(buffer, 8), std::string("abcdef\0\0", 8));
  EXPECT_EQ(ini->GetValue("s", "k", nullptr, 4), ERR_UNKNOWN);
  EXPECT_EQ(ini->GetValue("s", "k", buffer, 0), ERR_UNKNOWN);
  char large[400];
  EXPECT_EQ(ini->GetValue("s", "q", large, 0xFFFFFFFFu), nullptr);
  EXPECT_EQ(std::string(large), std::string(300, 'q'));
  // A missing key or section leaves the buffer alone.
  EXPECT_EQ(ini->GetValue("s", "nope", buffer, 4), ERR_NOTFOUND);
  EXPECT_EQ(ini->GetValue("t", "k", buffer, 4), ERR_NOTFOUND);
  EXPECT_EQ(std::string(buffer, 8), std::string("abcdef\0\0", 8));
  EXPECT_EQ(ini->GetValuePtr("t", "k"), nullptr);
  EXPECT_EQ(ini->FindKey(nullptr, "k"), nullptr);
  EXPECT_EQ(ini->FindKey("s", nullptr), nullptr);
}

TEST(HashIniFileTest, FilesOpenForSharedReadingAndAHundredThousandKeysAreFound) {
  ASSERT_EQ(MountTableInit(8), nullptr);
  NativeFileService *service = new NativeFileService();
  ASSERT_EQ(RegisterService("", service), nullptr);
  TempDir dir;
  const int kKeys = 100000;
  std::string text = "[big]\n";
  for (int i = 0; i < kKeys; ++i) text += "key" + std::to_string(i) + " = value" + std::to_string(i) + "\n";
  WriteWholeFile(dir / "big.ini", text);
  IniPtr ini(NewIni());
  ASSERT_EQ(ini->LoadIniFile((dir / "big.ini").c_str()), nullptr);
  EXPECT_EQ(service->lastMode, 193u);  // read; others may read and write
  EXPECT_EQ(EntryCount(ini->FindSection("big")), kKeys);
  // The name hash is a byte sum, so such keys share few chains: look up a
  // sample to keep the test quick.
  for (int i = 0; i < kKeys; i += 49)
    EXPECT_EQ(ValueOf(ini.get(), "big", ("KEY" + std::to_string(i)).c_str()), "value" + std::to_string(i));
  EXPECT_EQ(ValueOf(ini.get(), "big", "key99999"), "value99999");
  EXPECT_EQ(ini->FindKey("big", "key100000"), nullptr);
  // A missing file reports the open's error and keeps the content.
  EXPECT_EQ(ini->LoadIniFile((dir / "missing.ini").c_str()), FERR_FILENOTFOUND);
  EXPECT_EQ(ValueOf(ini.get(), "big", "key7"), "value7");
  MountTableShutdown();
}
