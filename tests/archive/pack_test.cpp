// The pack: its directory index against a sorted set, the read-only file
// service, the writer's bytes, and the checksum record with its proof; each
// with its damaged inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <set>

#include "archive/pack_fs.h"
#include "archive/patch_sums.h"
#include "core/endian.h"
#include "archive/pack_index.h"
#include "archive/pack_writer.h"
#include "core/global_handle.h"
#include "fs/file.h"
#include "fs/mount_table.h"
#include "support/listing.h"
#include "support/memory_file.h"
#include "support/raw_pack.h"
#include "support/temp_dir.h"

namespace {

typedef std::vector<u8> Bytes;
typedef std::vector<std::pair<std::string, std::string>> Members;

// A directory block of `names` (in index order) front-coded with an 8-byte
// payload: u32 ordinal, u32 ordinal * 10.
Bytes EncodeDirectory(const std::vector<std::string> &names) {
  Bytes out;
  for (size_t i = 0; i < names.size(); i++) {
    size_t s = 0;
    while (i && s < names[i - 1].size() && s < names[i].size() && names[i - 1][s] == names[i][s]) s++;
    out.push_back(static_cast<u8>(names[i].size()));
    out.push_back(static_cast<u8>(s));
    out.insert(out.end(), names[i].begin() + s, names[i].end());
    for (u32 x : {static_cast<u32>(i), static_cast<u32>(i * 10)})
      for (int k = 0; k < 4; k++) out.push_back(static_cast<u8>(x >> (8 * k)));
  }
  return out;
}

CPackIndex *MakeIndex(const Bytes &block, u32 count = 0, u16 step = 100) {
  u32 h = GlobalHandleAlloc(static_cast<u32>(block.size()));
  memcpy(GlobalHandleLock(h), block.data(), block.size());
  GlobalHandleUnlock(h);
  return new CPackIndex(8, h, static_cast<u32>(block.size()), count, step);
}

Bytes MakePack(const Members &members, bool checksums = false) {
  std::vector<std::unique_ptr<CMemoryFile>> sources;
  CPackWriter writer;
  for (const auto &m : members) {
    sources.emplace_back(new CMemoryFile(Bytes(m.second.begin(), m.second.end())));
    EXPECT_EQ(writer.AddFile(m.first.c_str(), sources.back().get(), static_cast<u32>(m.second.size())),
              nullptr);
  }
  if (checksums) {
    EXPECT_EQ(writer.AddChecksums(), nullptr);
  }
  CMemoryFile out;
  EXPECT_EQ(writer.WritePack(&out), nullptr);
  return out.data;
}



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
  index.reset(MakeIndex(EncodeDirectory(Numbered(250)), 0xFFFFFFFFu));  // an absurd count
  EXPECT_LE(index->GetSkipCount(), 3u);  // does not size the skip block
  EXPECT_TRUE(index->Lookup("N00249", payload));
  EXPECT_EQ(GetU32LE(payload), 249u);
  for (size_t count : {10, 300}) {  // keys before the first record
    index.reset(MakeIndex(EncodeDirectory(Numbered(count))));
    for (const char *key : {"A", "N", "M99999"}) EXPECT_FALSE(index->Lookup(key, payload)) << key;
    EXPECT_FALSE(index->FindFirstWithPrefix("A", out));
    EXPECT_FALSE(index->NextName("A", out));
  }
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

// Corrupted directories: answers may be wrong, but no query reads outside the block.
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


typedef std::unique_ptr<CPackFS> FsPtr;
typedef std::unique_ptr<CFile> FilePtr;

const Members kSmallPack = {{"FILES\\A.TXT", "alpha"},
                            {"FILES\\SUB\\B.TXT", "0123456789"},
                            {"FILES\\SUB\\D.TXT", "delta"},
                            {"PATCH.INI", "[str]\nver=10003\n"}};

FsPtr OpenFs(const Bytes &pack, Error *error = nullptr) {
  FsPtr fs(new CPackFS());
  Error e = fs->OpenPack(new CMemoryFile(pack));
  if (error) *error = e;
  return fs;
}

// A pack with one hand-made record "A" whose payload says (offset, size).
Bytes PackWithMember(u32 offset, u32 size) {
  Bytes pack(kPackMagic, kPackMagic + 18), dir = {1, 0, 'A', 0, 0, 0, 0, 0, 0, 0, 0};
  pack.resize(40, 0);
  PutU32LE(&dir[3], offset);
  PutU32LE(&dir[7], size);
  PutU32LE(&pack[32], 1);
  PutU32LE(&pack[36], static_cast<u32>(dir.size()));
  pack.insert(pack.end(), dir.begin(), dir.end());
  pack.resize(pack.size() + 4 + 16, 'x');
  return pack;
}

TEST(PackFsTest, DamagedHeadersAndMembersBeyondThePackAreRefused) {
  const Bytes good = MakePack(kSmallPack);
  Bytes magic17 = good, magic16 = good, hugeDirectory = good, noDirectory(kPackMagic, kPackMagic + 18);
  magic17[17] = 'X';
  magic16[16] = 0x1B;
  PutU32LE(&hugeDirectory[36], 0xFFFFFFF0u);
  noDirectory.resize(40, 0);
  struct Case {
    const char *what;
    Bytes pack;
    Error error, member;  // of OpenPack, and of opening member "A"
  } cases[] = {
      {"magic byte 17", magic17, ERR_UNKNOWN, FERR_FILENOTFOUND},
      {"magic byte 16", magic16, ERR_UNKNOWN, FERR_FILENOTFOUND},
      {"short header", Bytes(good.begin(), good.begin() + 39), FERR_EOF, FERR_FILENOTFOUND},
      {"short directory", Bytes(good.begin(), good.begin() + 60), FERR_EOF, FERR_FILENOTFOUND},
      {"directory past the end", hugeDirectory, FERR_EOF, FERR_FILENOTFOUND},
      {"empty directory", noDirectory, ERR_ALLOCFAIL, FERR_FILENOTFOUND},
      {"member inside", PackWithMember(60, 4), nullptr, nullptr},
      {"member past the end", PackWithMember(60, 1000), nullptr, ERR_INVALIDFORMAT},
      {"member offset wraps", PackWithMember(0xFFFFFFF0u, 0x20), nullptr, ERR_INVALIDFORMAT},
      {"not a pack", Bytes(10, 0), FERR_EOF, FERR_FILENOTFOUND},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Error e = ERR_WHATAMESS;
    FsPtr fs = OpenFs(c.pack, &e);
    EXPECT_EQ(e, c.error);
    e = ERR_WHATAMESS;
    FilePtr f(fs->Open("A", FOM_READ, &e));
    EXPECT_EQ(f != nullptr, c.member == nullptr);
    if (c.member) {
      EXPECT_EQ(e, c.member);
    }
  }
  CPackFS empty;
  EXPECT_EQ(empty.OpenPack(nullptr), ERR_UNKNOWN);
}

TEST(PackFsTest, ListingsFoldFoldersInNameOrderAndEndWithFileNotFound) {
  FsPtr fs = OpenFs(MakePack(kSmallPack));
  struct Case {
    const char *dir;
    Listing entries;
  } cases[] = {{"", {{"FILES", 0x11}, {"PATCH.INI", 0x01}}},
               {"FILES", {{"A.TXT", 0x01}, {"SUB", 0x11}}},
               {"files\\sub\\", {{"B.TXT", 0x01}, {"D.TXT", 0x01}}},
               {"NOPE", {}},
               {"FILES/SUB", {}}};
  for (const Case &c : cases) {
    Error end;
    EXPECT_EQ(ListDir(fs.get(), c.dir, &end), c.entries) << c.dir;
    EXPECT_EQ(end, FERR_FILENOTFOUND) << c.dir;
  }
}

// Entries of a depth-first walk of every folder, as the copy engine makes it.
long Walk(CPackFS *fs, const std::string &dir, int depth) {
  FindRecord r = {};
  long n = 0;
  for (Error e = fs->FindFirst(&r, dir.c_str()); !e && n < 100000; e = fs->FindNext(&r)) {
    n++;
    std::string path = dir + r.name;
    if (!(r.attributes & FATTR_DIRECTORY)) FilePtr(fs->Open(path.c_str(), FOM_READ, nullptr));
    else if (depth < 64) n += Walk(fs, path + "\\", depth + 1);
  }
  fs->FindClose(&r);
  return n;
}

TEST(PackFsTest, DamagedDirectoriesNeverHangAWalk) {
  // Found by fuzzing: members of FILES\DIR3 that come back after the folder
  // was passed over made the listing report DIR3 hundreds of times.
  TempDir dir;
  WriteWholeFile(dir / "p.pack", ReadWholeFile(VASK_PACK_CORPUS "/regression-timeout-repeated-subdirectory"));
  CPackFS fs;
  ASSERT_EQ(fs.OpenPack(OpenNativeFile(dir / "p.pack", false, false)), nullptr);
  EXPECT_LE(Walk(&fs, "", 0), 64 + 64 * 3);  // 64 records, each listed once with its folders
}


TEST(PackWriterTest, WritesThePatchArchiveDirectoryByteForByte) {
  Members members;
  for (const char *n : {"FILES\\VASKSITES.HTM", "FILES\\PACKS\\DATA2.WDT", "PATCH.INI",
                        "FILES\\GAMESPY ARCADE\\ARCADEINSTALLFULL101B.EXE", "FILES\\VASK.EXE",
                        "FILES\\VASK109.TXT", "FILES\\VASKEDIT.DLL", "FILES\\VASKEDIT.EXE"})
    members.push_back({n, "1234"});
  // The bytes as written by hand, but for the writer's default stamps.
  Bytes pack = MakePack(members), raw = RawPack(members);
  for (int i = 0; i < 8; i++) PutU32LE(&raw[225 + 4 * i], kPackDefaultTime);
  EXPECT_EQ(pack, raw);
  EXPECT_EQ(GetU32LE(&pack[36]), 185u);
  EXPECT_EQ(GetU32LE(&pack[40 + 2 + 46]), 257u);  // the first record's data
  EXPECT_EQ(pack[97], 6);                         // the second shares "FILES\"
  // Given stamps in directory order; output from the current position, with
  // offsets from the pack's start.
  CMemoryFile a(Bytes{1}), b(Bytes{2}), out(Bytes{'P', 'R', 'E'});
  CPackWriter writer;
  ASSERT_EQ(writer.AddFile("B", &b, 1, 0x5A5A1111), nullptr);
  ASSERT_EQ(writer.AddFile("A", &a, 1, 0x12345678), nullptr);
  out.position = 3;
  ASSERT_EQ(writer.WritePack(&out), nullptr);
  Bytes p(out.data.begin() + 3, out.data.end());
  u32 d = GetU32LE(&p[36]);
  EXPECT_EQ(GetU32LE(&p[40 + 3]), 40u + d + 8);
  EXPECT_EQ(GetU32LE(&p[40 + d]), 0x12345678u);
  EXPECT_EQ(GetU32LE(&p[44 + d]), 0x5A5A1111u);
  EXPECT_EQ(Bytes(p.begin() + 48 + d, p.end()), (Bytes{1, 2}));
  // Names upper-cased and sorted unsigned.
  CPackFS fs;
  ASSERT_EQ(fs.OpenPack(new CMemoryFile(MakePack({{"b\xE9.txt", "1"}, {"bz.txt", "2"}, {"a", "3"}}))), nullptr);
  char name[256] = {};
  for (const char *want : {"A", "BZ.TXT", "B\xE9.TXT"}) {
    ASSERT_TRUE(fs.GetIndex()->NextName(*name ? name : nullptr, name));
    EXPECT_STREQ(name, want);
  }
}

// A host folder named with a trailing separator, through the mount table as
// the tools reach it (patchkit's tests pack trees named without one).
TEST(PackWriterTest, NestedFoldersRoundTripUnderAPrefix) {
  TempDir tmp;
  ASSERT_EQ(MountTableInit(8), nullptr);
  ASSERT_EQ(HostFsInit(), nullptr);
  Members members;
  for (const char *rel : {"a.txt", "Dir0/b.bin", "Dir0/Dir1/c", "Dir2/d.dat"}) {
    std::filesystem::path path = std::filesystem::u8path(tmp / "tree") / rel;
    std::filesystem::create_directories(path.parent_path());
    WriteWholeFile(path.string(), std::string(rel) + "!");
    std::string name = std::string("FILES\\") + rel;
    std::replace(name.begin(), name.end(), '/', '\\');
    std::transform(name.begin(), name.end(), name.begin(), ::toupper);
    members.push_back({name, std::string(rel) + "!"});
  }
  CPackWriter writer;
  ASSERT_EQ(writer.AddFolder((tmp / "tree/").c_str(), "Files\\"), nullptr);
  ASSERT_EQ(writer.GetCount(), members.size());
  CMemoryFile out;
  ASSERT_EQ(writer.WritePack(&out), nullptr);
  std::sort(members.begin(), members.end());
  EXPECT_EQ(out.data, MakePack(members));
  MountTableShutdown();
}

TEST(PackWriterTest, RefusesBadNamesSourcesAndOutputsAndNamesTheMember) {
  CMemoryFile src(Bytes(100000, 7));
  CPackWriter writer;
  for (std::string bad : {std::string(), std::string(256, 'A'), std::string("\\A"), std::string("A\\")})
    EXPECT_EQ(writer.AddFile(bad.c_str(), &src, 1), ERR_BADPARAMS) << bad;
  EXPECT_STREQ(writer.GetFailedName(), "A\\");
  EXPECT_EQ(writer.AddFile(nullptr, &src, 1), ERR_BADPARAMS);
  EXPECT_EQ(writer.AddFile("A", nullptr, 1), ERR_BADPARAMS);
  EXPECT_EQ(writer.AddPath("X", nullptr), ERR_BADPARAMS);
  EXPECT_STREQ(writer.GetFailedName(), "X");
  EXPECT_EQ(writer.AddFile(std::string(255, 'A').c_str(), &src, 1), nullptr);
  EXPECT_EQ(writer.GetCount(), 1u);
  CPackWriter empty, twice, shortSource;
  CMemoryFile out;
  EXPECT_EQ(empty.WritePack(&out), ERR_WHATAMESS);
  EXPECT_EQ(empty.WritePack(nullptr), ERR_BADPARAMS);
  for (const char *n : {"x\\a.txt", "X\\B.TXT", "X\\A.TXT"}) ASSERT_EQ(twice.AddFile(n, &src, 1), nullptr);
  EXPECT_EQ(twice.WritePack(&out), FERR_FILEEXIST);
  EXPECT_STREQ(twice.GetFailedName(), "X\\A.TXT");
  EXPECT_TRUE(out.data.empty());
  ASSERT_EQ(shortSource.AddFile("SHORT", &src, 200000), nullptr);
  EXPECT_EQ(shortSource.WritePack(&out), FERR_EOF);
  EXPECT_STREQ(shortSource.GetFailedName(), "SHORT");
  for (int writes : {0, 1, 2}) {
    CPackWriter big;
    ASSERT_EQ(big.AddFile("BIG", &src, 100000), nullptr);
    CMemoryFile failing;
    failing.writesLeft = writes;
    EXPECT_EQ(big.WritePack(&failing), FERR_DISKFULL) << writes;
  }
}


const Members kMembers = {{"FILES\\A.TXT", "abc"},
                          {"FILES\\SUB\\EMPTY", ""},
                          {"FILES\\SUB\\BIG.BIN", std::string(70000, 'x') + "end"},
                          {"PATCH.INI", "[str]\ntitle=T\n"}};

u32 DataOffset(const Bytes &pack, const char *name) {
  CPackFS fs;
  EXPECT_EQ(fs.OpenPack(new CMemoryFile(pack)), nullptr);
  return fs.GetDataOffset(name, nullptr);
}

// The proof with one reader, or with a second that reads the upper half on
// a thread of its own; a failing read lands inside the big member either way.
Error Prove(const Bytes &pack, PatchProof *proof, int readsLeft = -1, bool two = false) {
  CPackFS fs;
  CMemoryFile *file = new CMemoryFile(pack), second(pack);
  EXPECT_EQ(fs.OpenPack(file), nullptr);
  (two ? second.readsLeft : file->readsLeft) = two && readsLeft >= 0 ? 1 : readsLeft;
  u64 last = 0;
  auto progress = [](u64 done, u64 total, void *context) {
    EXPECT_LE(done, total);
    *static_cast<u64 *>(context) = done;
  };
  Error e = ProvePatchPack(&fs, two ? &second : nullptr, progress, &last, proof);
  EXPECT_TRUE(e || last == pack.size());
  return e;
}

TEST(PatchSumsTest, RecordHoldsEveryOtherMemberInDirectoryOrderLastAndOnce) {
  EXPECT_EQ(Crc32(Crc32(0, "1234", 4), "56789", 5), 0xCBF43926u);
  Bytes pack = MakePack({{"B", ""}, {"A", "abc"}}, true);
  u32 at = DataOffset(pack, "PATCH.SUM");
  const u8 expected[] = {'V', 'P', 'S', 'U', 'M', '\r', '\n', 0x1A,  // signature
                         1, 0, 0, 0, 2, 0, 0, 0,                      // version, count
                         3, 0, 0, 0, 0xC2, 0x41, 0x24, 0x35, 1, 'A',
                         0, 0, 0, 0, 0, 0, 0, 0, 1, 'B'};
  ASSERT_EQ(pack.size(), at + sizeof expected + 4) << "the record is the last member";
  EXPECT_EQ(Bytes(pack.begin() + at, pack.end() - 4), Bytes(expected, expected + sizeof expected));
  EXPECT_EQ(GetU32LE(&pack[pack.size() - 4]), Crc32(0, expected, sizeof expected));
  CMemoryFile a(Bytes{'a'});
  for (const char *name : {"ZZZ", "PATCH.SUM"}) {  // sorting after it, or of its name
    CPackWriter writer;
    ASSERT_EQ(writer.AddFile(name, &a, 1), nullptr);
    ASSERT_EQ(writer.AddChecksums(), nullptr);
    CMemoryFile out;
    EXPECT_EQ(writer.WritePack(&out), *name == 'Z' ? ERR_BADPARAMS : FERR_FILEEXIST);
  }
}

TEST(PatchSumsTest, WholePacksAreProvenAndEveryDamageIsFoundAndNamed) {
  const Bytes good = MakePack(kMembers, true);
  PatchProof proof;
  EXPECT_EQ(Prove(good, &proof), nullptr);
  EXPECT_TRUE(proof.hasSums);
  EXPECT_EQ(proof.members, 5u);
  EXPECT_EQ(proof.filesBytes, 70006u);
  const u32 big = DataOffset(good, "FILES\\SUB\\BIG.BIN"), sums = DataOffset(good, "PATCH.SUM");
  auto resum = [&](Bytes &b) {  // a record edited with its last word made to match
    PutU32LE(&b[b.size() - 4], Crc32(0, &b[sums], static_cast<u32>(b.size() - 4 - sums)));
  };
  struct Case {
    const char *what;
    std::function<void(Bytes &)> damage;
    Error error;
    const char *failed;
    int readsLeft;
  } cases[] = {
      {"a byte of a member", [&](Bytes &b) { b[big + 40000] ^= 1; }, SERR_BADCHECKSUM, "FILES\\SUB\\BIG.BIN", -1},
      {"its last byte", [&](Bytes &b) { b[big + 70002] ^= 0x80; }, SERR_BADCHECKSUM, "FILES\\SUB\\BIG.BIN", -1},
      {"a sum in the record", [&](Bytes &b) { b[sums + 20] ^= 1; }, ERR_INVALIDFORMAT, "PATCH.SUM", -1},
      {"a sum made to look right", [&](Bytes &b) { b[sums + 20] ^= 1, resum(b); }, SERR_BADCHECKSUM,
       "FILES\\A.TXT", -1},
      {"a name in the record", [&](Bytes &b) { b[sums + 25] = 'B', resum(b); }, ERR_INVALIDFORMAT,
       "FILES\\A.TXT", -1},
      {"the record's count", [&](Bytes &b) { b[sums + 12] = 3, resum(b); }, ERR_INVALIDFORMAT, "PATCH.SUM", -1},
      {"the record's signature", [&](Bytes &b) { b[sums] = 'W', resum(b); }, ERR_INVALIDFORMAT, "PATCH.SUM", -1},
      {"the directory's count", [&](Bytes &b) { b[32] = 4; }, ERR_INVALIDFORMAT, "PATCH.SUM", -1},
      {"a count the directory cannot hold", [&](Bytes &b) { b[35] = 0x7F; }, ERR_INVALIDFORMAT, "", -1},
      {"a read that fails half-way", [&](Bytes &) {}, FERR_READFAIL, "FILES\\SUB\\BIG.BIN", 3},
      // A later version of the record, intact, is passed over.
      {"a later version", [&](Bytes &b) { b[sums + 8] = 2, resum(b), b[big] ^= 1; }, nullptr, "", -1},
  };
  ASSERT_GT(good.size(), 65536u) << "two readers need two halves";
  for (bool two : {false, true}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(c.what) + (two ? ", two readers" : ""));
      Bytes bad = good;
      c.damage(bad);
      EXPECT_EQ(Prove(bad, &proof, c.readsLeft, two), c.error);
      EXPECT_STREQ(proof.failed, c.failed);
    }
  }
  // Without a record a changed byte cannot be told; the damaged directory can.
  Bytes plain = MakePack(kMembers);
  plain[DataOffset(plain, "FILES\\A.TXT")] ^= 1;
  EXPECT_EQ(Prove(plain, &proof), nullptr);
  EXPECT_FALSE(proof.hasSums);
  plain[32] = 9;
  EXPECT_EQ(Prove(plain, &proof), ERR_INVALIDFORMAT);
}

}  // namespace
