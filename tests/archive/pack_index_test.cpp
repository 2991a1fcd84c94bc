// The pack directory's index against a sorted set, its skip entries, and
// damaged directory blocks that must not lead a query outside the block.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>

#include "core/endian.h"
#include "pack_test_support.h"

namespace {

typedef std::vector<std::string> Names;
typedef std::unique_ptr<CPackIndex> IndexPtr;

Names Numbered(size_t count) {  // "N00000" ...
  Names names;
  char buf[32];
  for (size_t i = 0; i < count; i++) {
    snprintf(buf, sizeof buf, "N%05u", static_cast<unsigned>(i));
    names.push_back(buf);
  }
  return names;
}

std::string Answer(bool found, const char *name) { return found ? name : "<none>"; }

TEST(PackIndexTest, EveryHundredthRecordHasASkipEntryAndEveryNameIsWalked) {
  // records, the count given (0: counted), skip entries
  for (auto c : {std::make_tuple(99, 0u, 0u), {100, 0u, 1u}, {250, 0u, 2u}, {250, 250u, 2u},
                 {1001, 0u, 10u}, {250, 0xFFFFFFFFu, 0u}}) {
    Names names = Numbered(std::get<0>(c));
    std::vector<u32> offsets;
    IndexPtr index(MakeIndex(EncodeDirectory(names, &offsets), std::get<1>(c)));
    u8 payload[8];
    if (std::get<1>(c) == 0xFFFFFFFFu) {  // an absurd count does not size the skip block
      EXPECT_GE(index->GetSkipCount(), 2u);
      EXPECT_LE(index->GetSkipCount(), 3u);
      EXPECT_TRUE(index->Lookup("N00249", payload));
      EXPECT_EQ(GetU32LE(payload), 249u);
      continue;
    }
    EXPECT_EQ(index->GetCount(), names.size());
    ASSERT_EQ(index->GetSkipCount(), std::get<2>(c));
    CPackIndex::SkipEntry e;
    for (u32 i = 0; i < std::get<2>(c); i++) {
      ASSERT_TRUE(index->GetSkipEntry(i, &e));
      EXPECT_EQ(e.offset, offsets[i * 100]);
      EXPECT_EQ(e.name, names[i * 100]);
    }
    EXPECT_FALSE(index->GetSkipEntry(std::get<2>(c), &e));
    char name[256];
    ASSERT_TRUE(index->NextName(nullptr, name));
    size_t i = 0;
    EXPECT_EQ(name, names[0]);
    while (index->NextName(name, name)) EXPECT_EQ(name, names[++i]);  // in and out the same buffer
    EXPECT_EQ(i + 1, names.size());
  }
}

TEST(PackIndexTest, NamesAndArgumentsAtTheirBounds) {
  Names names = {std::string(254, 'A') + "B", std::string(255, 'A'), std::string(255, 'B')};
  std::sort(names.begin(), names.end());
  IndexPtr index(MakeIndex(EncodeDirectory(names)));
  u8 payload[8];
  char out[256];
  for (const std::string &n : names) EXPECT_TRUE(index->Lookup(n.c_str(), payload));
  EXPECT_EQ(Answer(index->NextName(names[1].c_str(), out), out), names[2]);
  const std::string longKey(300, 'A');
  EXPECT_FALSE(index->Lookup(longKey.c_str(), payload));
  EXPECT_FALSE(index->NextName(longKey.c_str(), out));
  EXPECT_FALSE(index->FindFirstWithPrefix(longKey.c_str(), out));
  for (size_t count : {10, 300}) {  // keys before the first record
    index.reset(MakeIndex(EncodeDirectory(Numbered(count))));
    for (const char *key : {"A", "N", "M99999"}) EXPECT_FALSE(index->Lookup(key, payload)) << key;
    EXPECT_FALSE(index->FindFirstWithPrefix("A", out));
    EXPECT_FALSE(index->NextName("A", out));
  }
  CPackIndex empty(8, 0, 0, 0, 100);
  EXPECT_FALSE(empty.NextName(nullptr, out));
}

// Every answer over random names sharing many leading parts, with and
// without skip index, against a sorted set. 0xE9 sorts after 'Z': a signed
// comparison would put it first.
TEST(PackIndexTest, AnswersMatchASortedSetOverRandomNames) {
  std::mt19937 rng(20240611);
  const char alphabet[] = "AB\\.Z\xE9";
  std::set<std::string> set;
  while (set.size() < 3000) {
    std::string s;
    for (size_t i = 0, n = 1 + rng() % 12; i < n; i++) s += alphabet[rng() % 6];
    set.insert(s);
  }
  Names names(set.begin(), set.end());
  for (u16 step : {0, 100, 7}) {
    IndexPtr index(MakeIndex(EncodeDirectory(names), 0, step));
    for (int probe = 0; probe < 4000; probe++) {
      std::string key;
      if (probe % 2) {
        key = names[rng() % names.size()];
        if (probe % 4 == 1) key.resize(rng() % (key.size() + 1));
      } else {
        for (size_t i = 0, n = rng() % 13; i < n; i++) key += alphabet[rng() % 6];
      }
      auto it = set.find(key), lb = set.lower_bound(key);
      u8 payload[8];
      char out[256];
      bool found = index->Lookup(key.c_str(), payload);
      ASSERT_EQ(found, it != set.end()) << key << " step " << step;
      if (found) {
        EXPECT_EQ(names[GetU32LE(payload)], key);
        EXPECT_EQ(GetU32LE(payload + 4), GetU32LE(payload) * 10);
      }
      std::string next = "<none>", first = "<none>", last = "<none>";
      if (it != set.end() && std::next(it) != set.end()) next = *std::next(it);
      if (lb != set.end() && lb->compare(0, key.size(), key) == 0) first = *lb;
      // The run of names beginning with the key ends before key + 0xFF.
      if (first != "<none>") last = *std::prev(set.lower_bound(key + '\xFF'));
      ASSERT_EQ(Answer(index->NextName(key.c_str(), out), out), next) << key;
      ASSERT_EQ(Answer(index->FindFirstWithPrefix(key.c_str(), out), out), first) << key;
      ASSERT_EQ(Answer(index->FindLastWithPrefix(key.c_str(), out), out), last) << key;
    }
  }
}

// Corrupted copies of a real directory: answers may be wrong, but no query
// reads outside the block (the sanitizer watches the exact-size block) and
// every query ends.
TEST(PackIndexTest, MalformedDirectoriesNeverReadOutsideTheBlock) {
  Names names = {"DATA.BIN", "FILES\\A", "FILES\\B\\X", "PATCH.INI"};
  for (int i = 0; i < 400; i++) names.push_back(std::string(1, "BCEGMQ"[i % 6]) + std::to_string(1000 + i));
  std::sort(names.begin(), names.end());
  Bytes good = EncodeDirectory(names);
  std::mt19937 rng(77);
  for (int variant = 0; variant < 3000; variant++) {
    Bytes bad = good;
    for (int i = 0, edits = 1 + static_cast<int>(rng() % 6); i < edits; i++) {
      size_t at = rng() % bad.size();
      u8 kinds[] = {static_cast<u8>(rng()), 0, 0xFF, static_cast<u8>(bad[at] ^ (1u << (rng() % 8)))};
      bad[at] = kinds[variant % 4];
    }
    if (variant % 5 == 0) bad.resize(1 + rng() % bad.size());
    IndexPtr index(MakeIndex(bad, variant % 3 == 0 ? 0 : static_cast<u32>(rng()), variant % 2 ? 100 : 3));
    char out[256];
    u8 payload[8];
    for (const char *key : {"", "FILES\\", "FILES\\B\\X", "PATCH.INI", "M123", "\xFF\xFF", "B000", "Q399"}) {
      index->Lookup(key, payload);
      index->NextName(key, out);
      index->FindFirstWithPrefix(key, out);
      index->FindLastWithPrefix(key, out);
    }
    if (index->NextName(nullptr, out))  // a chain of NextName is the caller's loop: bound it
      for (int i = 0; i < 1000 && index->NextName(out, out); i++) {
      }
  }
}

}  // namespace
