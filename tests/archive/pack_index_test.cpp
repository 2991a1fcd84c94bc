#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "archive/pack_index.h"
#include "core/endian.h"
#include "pack_test_support.h"

namespace {

typedef std::vector<std::string> Names;
typedef std::unique_ptr<CPackIndex> IndexPtr;

// "N00000" .. in index order.
Names Numbered(size_t count) {
  Names names;
  char buf[32];
  for (size_t i = 0; i < count; i++) {
    snprintf(buf, sizeof buf, "N%05u", static_cast<unsigned>(i));
    names.push_back(buf);
  }
  return names;
}

IndexPtr Index(const Names &names, u32 count = 0, u16 step = 100) {
  return IndexPtr(MakeIndex(EncodeDirectory(names), count, step));
}

std::string Next(CPackIndex *index, const char *previous) {
  char out[256];
  return index->NextName(previous, out) ? out : "<none>";
}

std::string FirstWith(CPackIndex *index, const char *prefix) {
  char out[256];
  return index->FindFirstWithPrefix(prefix, out) ? out : "<none>";
}

const Names kFourNames = {"DATA.BIN", "FILES\\A", "FILES\\B\\X", "PATCH.INI"};

// The same four names among 400 others, so that a skip index exists.
Names FourNamesAmongMany() {
  Names names = kFourNames;
  for (int i = 0; i < 400; i++) {
    char buf[32];
    snprintf(buf, sizeof buf, "%c%03d", "BCEGMQ"[i % 6], i);
    names.push_back(buf);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(PackIndexTest, EveryHundredthRecordHasASkipEntry) {
  struct Case {
    size_t records;
    u32 givenCount;
    u32 skipEntries;
  } cases[] = {{99, 0, 0}, {100, 0, 1}, {250, 0, 2}, {250, 250, 2}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.records << " records, count "
                                    << c.givenCount);
    Names names = Numbered(c.records);
    IndexPtr index = Index(names, c.givenCount);
    EXPECT_EQ(index->GetCount(), c.records);  // a zero count is counted
    ASSERT_EQ(index->GetSkipCount(), c.skipEntries);
    CPackIndex::SkipEntry e;
    for (u32 i = 0; i < c.skipEntries; i++) {
      ASSERT_TRUE(index->GetSkipEntry(i, &e));
      EXPECT_EQ(e.offset, RecordOffsets(names)[i * 100]);
      EXPECT_EQ(e.name, names[i * 100]);
    }
    EXPECT_FALSE(index->GetSkipEntry(c.skipEntries, &e));
  }
}

TEST(PackIndexTest, AbsurdCountDoesNotSizeTheSkipBlock) {
  IndexPtr index = Index(Numbered(250), 0xFFFFFFFFu);
  // Only records that can exist get entries.
  EXPECT_GE(index->GetSkipCount(), 2u);
  EXPECT_LE(index->GetSkipCount(), 3u);
  u8 payload[8];
  EXPECT_TRUE(index->Lookup("N00249", payload));
  EXPECT_EQ(GetU32LE(payload), 249u);
}

TEST(PackIndexTest, KeyBeforeFirstRecordIsNotFound) {
  for (size_t count : {10, 300}) {
    IndexPtr index = Index(Numbered(count));
    u8 payload[8];
    for (const char *key : {"A", "N", "M99999"}) {
      EXPECT_FALSE(index->Lookup(key, payload)) << count << key;
    }
    EXPECT_EQ(FirstWith(index.get(), "A"), "<none>") << count;
    EXPECT_EQ(Next(index.get(), "A"), "<none>") << count;
  }
}

TEST(PackIndexTest, LookupFindsOnlyTheExactNameInItsCase) {
  IndexPtr index = Index({"DATA.BIN", "FILES\\A.TXT", "PATCH.INI"});
  const std::string longKey(300, 'A');
  u8 payload[8];
  for (const char *key : {"FILES", "FILES\\A.TX", "FILES\\A.TXTX", "PATCH.INI ",
                          "patch.ini", "Patch.ini", longKey.c_str()}) {
    EXPECT_FALSE(index->Lookup(key, payload)) << key;
  }
  EXPECT_TRUE(index->Lookup("FILES\\A.TXT", payload));
  EXPECT_TRUE(index->Lookup("PATCH.INI", payload));
  EXPECT_FALSE(index->Lookup(nullptr, payload));
  EXPECT_FALSE(index->Lookup("DATA.BIN", nullptr));
  char out[256];
  EXPECT_FALSE(index->NextName(longKey.c_str(), out));
  EXPECT_FALSE(index->FindFirstWithPrefix(longKey.c_str(), out));
}

TEST(PackIndexTest, NextNameWalksEveryNameInOrder) {
  for (size_t count : {1, 99, 100, 250, 1001}) {
    Names names = Numbered(count);
    IndexPtr index = Index(names);
    char name[256];
    ASSERT_TRUE(index->NextName(nullptr, name));
    size_t i = 0;
    EXPECT_EQ(name, names[0]);
    // Output and input may be the same buffer.
    while (index->NextName(name, name)) EXPECT_EQ(name, names[++i]);
    EXPECT_EQ(i + 1, count);
  }
}

TEST(PackIndexTest, NamesOfTwoHundredFiftyFiveBytesWork) {
  Names names = {std::string(254, 'A') + "B", std::string(255, 'A'),
                 std::string(255, 'B')};
  std::sort(names.begin(), names.end());
  IndexPtr index = Index(names);
  u8 payload[8];
  for (const std::string &n : names) EXPECT_TRUE(index->Lookup(n.c_str(), payload));
  EXPECT_EQ(Next(index.get(), names[1].c_str()), names[2]);
}

TEST(PackIndexTest, AnIndexWithoutRecordsAnswersFalse) {
  CPackIndex index(8, 0, 0, 0, 100);
  u8 payload[8];
  char out[256];
  EXPECT_FALSE(index.Lookup("A", payload));
  EXPECT_FALSE(index.NextName(nullptr, out));
  EXPECT_FALSE(index.FindFirstWithPrefix("", out));
}

// Every answer over a random set of names sharing many leading parts, with
// and without skip index, against a sorted set. 0xE9 sorts after 'Z': a
// signed comparison would put it first.
TEST(PackIndexTest, AnswersMatchASortedSetOverRandomNames) {
  std::mt19937 rng(20240611);
  const char alphabet[] = "AB\\.Z\xE9";
  std::set<std::string> set;
  while (set.size() < 3000) {
    std::string s;
    size_t n = 1 + rng() % 12;
    for (size_t i = 0; i < n; i++) s += alphabet[rng() % 6];
    set.insert(s);
  }
  Names names(set.begin(), set.end());
  for (u16 step : {0, 100, 7}) {
    IndexPtr index = Index(names, 0, step);
    for (int probe = 0; probe < 4000; probe++) {
      std::string key;
      if (probe % 2) {
        key = names[rng() % names.size()];
        if (probe % 4 == 1) key.resize(rng() % (key.size() + 1));
      } else {
        size_t n = rng() % 13;
        for (size_t i = 0; i < n; i++) key += alphabet[rng() % 6];
      }
      auto it = set.find(key);
      u8 payload[8];
      bool found = index->Lookup(key.c_str(), payload);
      ASSERT_EQ(found, it != set.end()) << key << " step " << step;
      if (found) {
        EXPECT_EQ(names[GetU32LE(payload)], key);
        EXPECT_EQ(GetU32LE(payload + 4), GetU32LE(payload) * 10);
      }
      std::string expectNext = "<none>";
      if (it != set.end() && std::next(it) != set.end()) expectNext = *std::next(it);
      ASSERT_EQ(Next(index.get(), key.c_str()), expectNext) << key;
      auto lb = set.lower_bound(key);
      std::string expectPrefix = "<none>";
      if (lb != set.end() && lb->compare(0, key.size(), key) == 0) expectPrefix = *lb;
      ASSERT_EQ(FirstWith(index.get(), key.c_str()), expectPrefix) << key;
      // The run of names beginning with the key ends before key + 0xFF.
      std::string expectLast = "<none>";
      if (expectPrefix != "<none>") expectLast = *std::prev(set.lower_bound(key + '\xFF'));
      char last[256];
      bool hasLast = index->FindLastWithPrefix(key.c_str(), last);
      ASSERT_EQ(hasLast ? last : "<none>", expectLast) << key;
    }
  }
}

// Corrupted copies of a real directory: answers may be wrong, but no query
// reads outside the block (the sanitizer watches the exact-size block) and
// every query ends.
TEST(PackIndexTest, MalformedDirectoriesNeverReadOutsideTheBlock) {
  Names names = FourNamesAmongMany();
  Bytes good = EncodeDirectory(names);
  std::mt19937 rng(77);
  const char *keys[] = {"", "FILES\\", "FILES\\B\\X", "PATCH.INI", "M123",
                        "\xFF\xFF", "B000", "Q399"};
  for (int variant = 0; variant < 3000; variant++) {
    Bytes bad = good;
    int kind = variant % 4;
    int edits = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < edits; i++) {
      size_t at = rng() % bad.size();
      if (kind == 0) bad[at] = static_cast<u8>(rng());
      if (kind == 1) bad[at] = 0;
      if (kind == 2) bad[at] = 0xFF;
      if (kind == 3) bad[at] ^= static_cast<u8>(1u << (rng() % 8));
    }
    if (variant % 5 == 0) bad.resize(1 + rng() % bad.size());
    u32 count = variant % 3 == 0 ? 0 : static_cast<u32>(rng());
    IndexPtr index(MakeIndex(bad, count, variant % 2 ? 100 : 3));
    ASSERT_TRUE(index);
    char out[256];
    u8 payload[8];
    for (const char *key : keys) {
      index->Lookup(key, payload);
      index->NextName(key, out);
      index->FindFirstWithPrefix(key, out);
      index->FindLastWithPrefix(key, out);
    }
    // A chain of NextName is the caller's loop; bound it here.
    if (index->NextName(nullptr, out))
      for (int i = 0; i < 1000 && index->NextName(out, out); i++) {
      }
  }
}

}  // namespace
