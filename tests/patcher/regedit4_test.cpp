#include "patcher/regedit4.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

const char kKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Lorvenest\\Vask";

const std::string kSample =
    "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lorvenest]\r\n\"Path\"=\"elsewhere\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lorvenest\\Vask]\r\n\"Path\"=\"C:\\\\Games\\\\Vask\\\\\"\r\n"
    "\"GameVersion\"=dword:0001000a\r\n\"Language\"=\"English\"\r\n\"Blob\"=hex:01,02,\\\r\n  0a,ff\r\n"
    "\r\n[HKEY_CURRENT_USER\\Other]\r\n\"Value\"=hex(2):41,00\r\n";

// The text in a heap block of exactly its size, so that a read past the end
// is caught by the address sanitizer.
struct Exact {
  explicit Exact(const std::string &s) : bytes(new char[s.size() ? s.size() : 1]), size(s.size()) {
    if (!s.empty()) memcpy(bytes.get(), s.data(), s.size());
  }
  std::unique_ptr<char[]> bytes;
  u32 size;
};

// The value's kind and data ("" when missing).
std::pair<RegValueKind, std::string> Get(const std::string &text, const char *name,
                                         const char *key = kKey) {
  Exact t(text);
  u32 need = 0;
  RegValueKind kind = RegTextGetValue(t.bytes.get(), t.size, key, name, nullptr, 0, &need);
  std::vector<u8> data(need + 1, 0xCC);
  u32 again = 0;
  EXPECT_EQ(kind, RegTextGetValue(t.bytes.get(), t.size, key, name, data.data(), need, &again));
  EXPECT_EQ(need, again);
  EXPECT_EQ(0xCC, data[need]) << "wrote past the capacity";
  return {kind, std::string(data.begin(), data.begin() + need)};
}

std::string Set(const std::string &text, const char *name, u32 value, const char *key = kKey) {
  Exact t(text);
  u32 need = 0;
  EXPECT_TRUE(RegTextSetDword(t.bytes.get(), t.size, key, name, value, nullptr, 0, &need));
  std::string out(need + 1, '#');
  u32 again = 0;
  EXPECT_TRUE(RegTextSetDword(t.bytes.get(), t.size, key, name, value, &out[0], need, &again));
  EXPECT_EQ(need, again);
  EXPECT_EQ('#', out[need]) << "wrote past the capacity";
  out.resize(need);
  return out;
}

std::string Str(const char *s) { return std::string(s, strlen(s) + 1); }

TEST(RegEditTextTest, ValuesReadAsTheirKindAndRawData) {
  const std::string quoted = "REGEDIT4\n[K]\n\"Say\"=\"a \\\"b\\\" c\\\\\"\n\"Empty\"=\"\"\n";
  const char *kOther = "HKEY_CURRENT_USER\\Other";
  struct Case {
    std::string text;
    const char *key, *name;
    RegValueKind kind;
    std::string data;  // strings unescaped with their NUL
  } cases[] = {
      {kSample, kKey, "Path", kRegString, Str("C:\\Games\\Vask\\")},
      {kSample, kKey, "Language", kRegString, Str("English")},
      {quoted, "K", "Say", kRegString, Str("a \"b\" c\\")},
      {quoted, "K", "Empty", kRegString, Str("")},
      // Dwords are four little-endian bytes.
      {kSample, kKey, "GameVersion", kRegDword, std::string("\x0a\0\x01\0", 4)},
      {"REGEDIT4\n[K]\n\"V\"=DWORD:3Fa\n", "K", "V", kRegDword, std::string("\xfa\x03\0\0", 4)},
      {"REGEDIT4\n[K]\n\"V\"=dword:123456789\n", "K", "V", kRegMissing, ""},
      {"REGEDIT4\n[K]\n\"V\"=dword:\n", "K", "V", kRegMissing, ""},
      {"REGEDIT4\n[K]\n\"V\"=dword:12x\n", "K", "V", kRegMissing, ""},
      // Binary values span continued lines.
      {kSample, kKey, "Blob", kRegBinary, std::string("\x01\x02\x0a\xff", 4)},
      {kSample, kOther, "value", kRegBinary, std::string("A\0", 2)},
      {"REGEDIT4\n[K]\n@=hex:\n", "K", "", kRegBinary, ""},
      {"REGEDIT4\n[K]\n\"V\"=hex:01,,02\n", "K", "V", kRegMissing, ""},
      // Names match without regard to case.
      {kSample, kKey, "gameversion", kRegDword, std::string("\x0a\0\x01\0", 4)},
      {kSample, "hkey_local_machine\\software\\lorvenest\\vask", "PATH", kRegString,
       Str("C:\\Games\\Vask\\")},
      // Missing values, and a value of another key is not this key's.
      {kSample, kKey, "Nothing", kRegMissing, ""},
      {kSample, kKey, "Value", kRegMissing, ""},
      {kSample, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Nope", "Path", kRegMissing, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.key << " " << c.name);
    EXPECT_EQ(std::make_pair(c.kind, c.data), Get(c.text, c.name, c.key));
  }
  Exact t(kSample);
  EXPECT_TRUE(RegTextHasKey(t.bytes.get(), t.size, kKey));
  EXPECT_FALSE(RegTextHasKey(t.bytes.get(), t.size, "HKEY_LOCAL_MACHINE\\SOFTWARE"));
}

TEST(RegEditTextTest, LastLineWinsAndSectionsAddUp) {
  std::string text = "REGEDIT4\n[K]\n\"A\"=\"one\"\n[X]\n\"B\"=\"x\"\n[k]\n\"a\"=\"two\"\n\"B\"=\"b\"\n"
                     "\"C\"=\"c\"\n\"C\"=-\n\"D\"=\"d\"\n\"D\"=broken\n";
  EXPECT_EQ(Str("two"), Get(text, "A", "K").second);
  EXPECT_EQ(Str("b"), Get(text, "B", "K").second);
  EXPECT_EQ(kRegMissing, Get(text, "C", "K").first) << "removed";
  EXPECT_EQ(Str("d"), Get(text, "D", "K").second) << "a malformed line changes nothing";
}

TEST(RegEditTextTest, AcceptsByteOrderMarkAndVersion5Header) {
  EXPECT_EQ(Str("x"), Get("\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n[K]\r\n\"A\"=\"x\"\r\n",
                          "A", "K").second);
  for (std::string bad : {"", "REGEDIT", "REGEDIT5\n[K]\n\"A\"=\"x\"\n", "\n[K]\n\"A\"=\"x\"\n"}) {
    Exact t(bad);
    EXPECT_FALSE(RegTextIsExport(t.bytes.get(), t.size)) << bad;
    EXPECT_FALSE(RegTextHasKey(t.bytes.get(), t.size, "K")) << bad;
  }
  Exact t(std::string("REGEDIT4"));
  EXPECT_TRUE(RegTextIsExport(t.bytes.get(), t.size));
}

// Setting replaces the value's whole logical line, or adds one at the end of
// its section (with the file's line ends), or a section for a missing key.
TEST(RegEditTextTest, SettingReplacesOrAddsOneLineAndKeepsEverythingElse) {
  auto with = [](std::string s, const std::string &from, const std::string &to) {
    return s.replace(s.find(from), from.size(), to);
  };
  const std::string blobLine = "\"Blob\"=hex:01,02,\\\r\n  0a,ff";
  struct Case {
    std::string text, name;
    u32 value;
    const char *key;
    std::string expected;
  } cases[] = {
      {kSample, "GameVersion", 0x10003, kKey, with(kSample, "dword:0001000a", "dword:00010003")},
      {kSample, "blob", 0xDEADBEEF, kKey, with(kSample, blobLine, "\"blob\"=dword:deadbeef")},
      {kSample, "New", 1, kKey,
       with(kSample, "\r\n[HKEY_CURRENT_USER", "\"New\"=dword:00000001\r\n\r\n[HKEY_CURRENT_USER")},
      {"REGEDIT4\n\n[K]\n\"A\"=\"x\"\n\n[L]\n", "V", 15, "K",
       "REGEDIT4\n\n[K]\n\"A\"=\"x\"\n\"V\"=dword:0000000f\n\n[L]\n"},
      {"REGEDIT4\n[K]\n\"A\"=\"x\"", "V", 15, "K", "REGEDIT4\n[K]\n\"A\"=\"x\"\n\"V\"=dword:0000000f"},
      {"REGEDIT4\r\n", "V", 2, "K", "REGEDIT4\r\n\r\n[K]\r\n\"V\"=dword:00000002\r\n"},
      {"REGEDIT4\n\n[L]\n\"A\"=\"x\"", "V", 2, "K",
       "REGEDIT4\n\n[L]\n\"A\"=\"x\"\n\n[K]\n\"V\"=dword:00000002\n"},
      {"REGEDIT4\n\n", "", 2, "K", "REGEDIT4\n\n[K]\n@=dword:00000002\n"},
      // Names are escaped, and read back.
      {"REGEDIT4\n[K]\n", "a\\\"b", 7, "K", "REGEDIT4\n[K]\n\"a\\\\\\\"b\"=dword:00000007\n"},
  };
  for (const Case &c : cases) {
    std::string out = Set(c.text, c.name.c_str(), c.value, c.key);
    EXPECT_EQ(c.expected, out);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&c.value), 4),
              Get(out, c.name.c_str(), c.key).second) << out;
  }
}

// Found by fuzzing: a line added after binary data that ends the text with
// a backslash (then perhaps a line end or a lone CR) was read back as more
// of that data, and the value was lost.
TEST(RegEditTextTest, ANewValueNeverBecomesPartOfUnfinishedBinaryData) {
  const std::string dangling = "REGEDIT4\r\n[K]\r\n\"A\"=\"x\"\r\n\"Blob\"=hex:01,02,\\";
  EXPECT_EQ("REGEDIT4\r\n[K]\r\n\"A\"=\"x\"\r\n\"V\"=dword:0000000f\r\n\"Blob\"=hex:01,02,\\",
            Set(dangling, "V", 15, "K"));
  for (const std::string &text :
       {dangling, dangling + "\r\n", dangling + "\r", std::string("REGEDIT4\n[K]\n\"Blob\"=hex:01,02,\\\r")}) {
    std::string set = Set(text, "V", 15, "K");
    EXPECT_EQ(kRegDword, Get(set, "V", "K").first) << set;
    EXPECT_EQ(std::string("\x01\x02"), Get(set, "Blob", "K").second);
  }
}

TEST(RegEditTextTest, SettingNeedsAnExportAndRespectsTheCapacity) {
  Exact bad(std::string("not an export"));
  u32 need = 99;
  EXPECT_FALSE(RegTextSetDword(bad.bytes.get(), bad.size, "K", "V", 1, nullptr, 0, &need));
  EXPECT_EQ(0u, need);
  Exact t(kSample);
  std::string out(10, '#');
  EXPECT_TRUE(RegTextSetDword(t.bytes.get(), t.size, kKey, "V", 1, &out[0], 10, &need));
  EXPECT_EQ(kSample.size() + strlen("\"V\"=dword:00000001\r\n"), need);
  EXPECT_EQ(std::string(10, '#'), out) << "nothing written when it does not fit";
}

// Whatever the bytes, every call stays inside its buffers and ends.
TEST(RegEditTextTest, MangledTextNeverReadsOrWritesOutOfBounds) {
  std::mt19937 rng(20240607);
  const char kAlphabet[] = "\"\\[]=@:,;-\r\n \tdwordhex(2)0aF\xEF\xBB\xBF";
  auto probe = [](const std::string &s) {
    Exact t(s);
    RegTextIsExport(t.bytes.get(), t.size);
    RegTextHasKey(t.bytes.get(), t.size, kKey);
    u8 data[8];
    u32 need;
    for (const char *name : {"Path", "GameVersion", "Blob", "", "Language"})
      RegTextGetValue(t.bytes.get(), t.size, kKey, name, data, sizeof data, &need);
    char out[64];
    RegTextSetDword(t.bytes.get(), t.size, kKey, "Blob", 1, out, sizeof out, &need);
    RegTextSetDword(t.bytes.get(), t.size, kKey, "GameVersion", 1, nullptr, 0, &need);
  };
  for (size_t n = 0; n <= kSample.size(); ++n) probe(kSample.substr(0, n));
  for (int round = 0; round < 3000; ++round) {
    std::string s = kSample;
    int edits = 1 + static_cast<int>(rng() % 8);
    for (int k = 0; k < edits; ++k) {
      size_t at = rng() % (s.size() + 1);
      int kind = static_cast<int>(rng() % 3);
      if (kind == 0) s.insert(at, 1, kAlphabet[rng() % (sizeof kAlphabet - 1)]);
      else if (kind == 1 && at < s.size()) s.erase(at, 1 + rng() % 4);
      else if (at < s.size()) s[at] = static_cast<char>(rng());
    }
    probe(s);
  }
}

}  // namespace
