// Patch executables as signing leaves them: the container ends where the
// certificate table begins, and runs to the end whatever is wrong with the headers.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "archive/archive_open.h"
#include "core/endian.h"
#include "support/temp_dir.h"

namespace {

typedef std::vector<unsigned char> Bytes;

const size_t kPeHeader = 0x80;  // e_lfanew of the images made here

void Put32(Bytes &b, size_t at, u32 v) { PutU32LE(&b[at], v); }

// PE headers with an empty data directory of 16 entries, padded to `size`.
Bytes PeImage(bool plus, size_t size) {
  Bytes b(size, 0);
  b[0] = 'M', b[1] = 'Z', b[kPeHeader] = 'P', b[kPeHeader + 1] = 'E';
  Put32(b, 0x3C, kPeHeader);
  b[kPeHeader + 4] = 0x4C, b[kPeHeader + 5] = 0x01;  // i386
  b[kPeHeader + 20] = plus ? 240 : 224;               // size of the optional header
  b[kPeHeader + 24] = 0x0B, b[kPeHeader + 25] = plus ? 0x02 : 0x01;
  Put32(b, kPeHeader + 24 + (plus ? 108 : 92), 16);
  return b;
}

size_t SecurityEntry(bool plus) { return kPeHeader + 24 + (plus ? 112 : 96) + 32; }

// Signing: a certificate table appended, named by the security entry.
void AppendSignature(Bytes &b, bool plus, size_t tableSize) {
  Put32(b, SecurityEntry(plus), static_cast<unsigned>(b.size()));
  Put32(b, SecurityEntry(plus) + 4, static_cast<unsigned>(tableSize));
  Bytes table = PatternBytes(tableSize, 99);
  b.insert(b.end(), table.begin(), table.end());
}

// The container's length from `position` by the headers, on a real file.
u32 LengthOf(const Bytes &file, u32 position) {
  TempDir dir;
  WriteWholeFile(dir / "x.exe", file);
  std::unique_ptr<CFile> f(OpenNativeFile(dir / "x.exe", false, false));
  return EmbeddedArchiveLength(f.get(), position);
}

TEST(SignedPatchTest, DamagedHeadersMeanTheRestOfTheFile) {
  const u32 kRest = 0xFFFFFFFFu;
  const u32 position = 8192;
  struct Case {
    const char *what;
    bool plus;
    void (*damage)(Bytes &);
    u32 expected;
  } cases[] = {
      {"PE32", false, [](Bytes &) {}, 16384 - position},
      {"PE32+", true, [](Bytes &) {}, 16384 - position},
      {"no MZ", false, [](Bytes &b) { b[0] = 'X'; }, kRest},
      {"e_lfanew past the end", false, [](Bytes &b) { Put32(b, 0x3C, 0xFFFFFFF0u); }, kRest},
      {"no PE signature", false, [](Bytes &b) { b[kPeHeader + 2] = 'X'; }, kRest},
      {"unknown magic", false, [](Bytes &b) { b[kPeHeader + 25] = 0x03; }, kRest},
      {"four directory entries", false, [](Bytes &b) { Put32(b, kPeHeader + 24 + 92, 4); }, kRest},
      {"optional header too short", false, [](Bytes &b) { b[kPeHeader + 20] = 128; }, kRest},
      {"table before the container", false,
       [](Bytes &b) { Put32(b, SecurityEntry(false), 4096); }, kRest},
      {"table past the end", false,
       [](Bytes &b) { Put32(b, SecurityEntry(false) + 4, 0x7FFFFFFF); }, kRest},
      {"empty table", false, [](Bytes &b) { Put32(b, SecurityEntry(false) + 4, 0); }, kRest},
  };
  for (const Case &c : cases) {
    Bytes file = PeImage(c.plus, 16384);
    AppendSignature(file, c.plus, 1000);
    c.damage(file);
    EXPECT_EQ(LengthOf(file, position), c.expected) << c.what;
  }
  // Too short for a DOS header at all.
  EXPECT_EQ(LengthOf(Bytes(40, 'M'), 0), kRest);
}

}  // namespace
