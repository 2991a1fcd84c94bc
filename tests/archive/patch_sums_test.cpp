// The checksum record of a patch's pack and the proof built on it, on packs
// written by the real pack writer and then damaged one way at a time.
#include <gtest/gtest.h>

#include <functional>

#include "archive/pack_fs.h"
#include "archive/patch_sums.h"
#include "core/endian.h"
#include "pack_test_support.h"

namespace {

const Members kMembers = {{"FILES\\A.TXT", "abc"},
                          {"FILES\\SUB\\EMPTY", ""},
                          {"FILES\\SUB\\BIG.BIN", std::string(70000, 'x') + "end"},
                          {"PATCH.INI", "[str]\ntitle=T\n"}};

u32 DataOffset(const Bytes &pack, const char *name) {
  CPackFS fs;
  EXPECT_EQ(fs.OpenPack(new CMemFile(pack)), nullptr);
  return fs.GetDataOffset(name, nullptr);
}

// The proof with one reader, or with a second that reads the upper half on
// a thread of its own; a failing read lands inside the big member either way.
Error Prove(const Bytes &pack, PatchProof *proof, int readsLeft = -1, bool two = false) {
  CPackFS fs;
  CMemFile *file = new CMemFile(pack), second(pack);
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
  CMemFile a(Bytes{'a'});
  for (const char *name : {"ZZZ", "PATCH.SUM"}) {  // sorting after it, or of its name
    CPackWriter writer;
    ASSERT_EQ(writer.AddFile(name, &a, 1), nullptr);
    ASSERT_EQ(writer.AddChecksums(), nullptr);
    CMemFile out;
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
