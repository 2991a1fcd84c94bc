// The block codec: streams byte for byte, round trips under every code, and
// damaged or cut streams that must fail inside their buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "archive/lzss.h"
#include "lzss_test_support.h"

namespace {

// Decodes into a buffer of exactly `capacity` bytes on the heap from a copy of
// exactly the stream's size, so that the sanitizer sees any access outside.
Error Decode(const Bytes &stream, u32 capacity, u8 code, Bytes *out) {
  Bytes src(stream);
  out->assign(capacity, 0);
  u32 length = capacity;
  Error e = LzssDecode(src.empty() ? nullptr : src.data(), static_cast<u32>(src.size()),
                       out->data(), &length, code);
  if (!e) out->resize(length);
  return e;
}

Bytes Text(const char *s) { return Bytes(s, s + strlen(s)); }

TEST(LzssCodecTest, StreamsAreTheFormatsBytes) {
  struct Case {
    Bytes plain;
    u8 code;
    Bytes stream;
  } cases[] = {
      {Text("abc"), 0xC4, {0xB0, 0xD8, 0xAC, 0x60}},        // three literals
      {Text("aaaa"), 0xC4, {0xB0, 0xBF, 0xFC, 0x40}},       // a literal, a match at 1
      {Text("A"), 0xC4, {0xA0, 0x80}},
      {Text("abcabcabc"), 0xA1, {0xB0, 0xD8, 0xAC, 0x6F, 0xF6, 0xFF, 0x60}},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(Encode(c.plain, c.code), c.stream);
    Bytes out;
    ASSERT_EQ(Decode(c.stream, static_cast<u32>(c.plain.size()), c.code, &out), nullptr);
    EXPECT_EQ(out, c.plain);
  }
  // A zero block: a literal, then 1,927 matches of length 17 at distance 1
  // (x = 4095, f = 15) and one of length 8: 9 + 1928 * 17 bits.
  Bytes zeros(32768, 0), stream = Encode(zeros, 0xC4);
  ASSERT_EQ(stream.size(), 4099u);
  EXPECT_EQ(stream[0], 0x80);
  auto token = [&](u64 bit) {
    u32 t = 0;
    for (int i = 0; i < 17; i++, bit++) t = (t << 1) | ((stream[bit >> 3] >> (7 - (bit & 7))) & 1);
    return t;
  };
  for (int k = 0; k < 1927; k++) ASSERT_EQ(token(9 + 17ull * k), (4095u << 4) | 15u) << k;
  u32 last = token(9 + 17ull * 1927);
  EXPECT_EQ(last >> 16, 0u);  // a match
  EXPECT_EQ(last & 15, 6u);   // of length 8
  Bytes out;
  ASSERT_EQ(Decode(stream, 32768, 0xC4, &out), nullptr);
  EXPECT_EQ(out, zeros);
  // Under 0xC4: literal 'Q', an unchanged run of 5 (x = 0, f = 3), literal 'Z'.
  out.assign(10, 0x77);
  u32 length = 10;
  ASSERT_EQ(LzssDecode(kUnchangedRun, 5, out.data(), &length, 0xC4), nullptr);
  ASSERT_EQ(length, 7u);
  EXPECT_EQ(out, (Bytes{'Q', 0x77, 0x77, 0x77, 0x77, 0x77, 'Z', 0x77, 0x77, 0x77}));
}

TEST(LzssCodecTest, CodesAndBoundsOfTheBuffers) {
  Bytes out;
  for (u8 code : {0xC6, 0xD4, 0x94, 0xA0, 0x00, 0xFF})
    EXPECT_EQ(Decode({0xA0, 0x80}, 10, code, &out), LERR_NOSUCHBITLENGTHS) << int(code);
  EXPECT_EQ(Decode({0xA0, 0x80}, 10, 0xA1, &out), nullptr);
  EXPECT_EQ(Decode({0xA0, 0x80}, 10, 0xC5, &out), nullptr);
  u8 dst[4];
  u32 length = 4;
  EXPECT_EQ(LzssEncode("ab", 2, dst, &length, 0xC6, nullptr), LERR_NOSUCHBITLENGTHS);
  length = 99;  // an empty block, under any code
  EXPECT_EQ(LzssDecode(nullptr, 0, nullptr, &length, 0xFF), nullptr);
  EXPECT_EQ(length, 0u);
  // Damaged streams: a copy before the block's start, output past the capacity.
  EXPECT_EQ(Decode({0xB0, 0xBF, 0xF8, 0x40}, 100, 0xC4, &out), ERR_INVALIDFORMAT);
  EXPECT_EQ(Decode(Encode(Text("aaaa"), 0xC4), 3, 0xC4, &out), ERR_INVALIDFORMAT);
  EXPECT_EQ(Decode(Encode(Text("aaaa"), 0xC4), 4, 0xC4, &out), nullptr);
  EXPECT_EQ(Decode(Text("ab"), 0, 0xC4, &out), ERR_INVALIDFORMAT);
  EXPECT_EQ(Decode(Bytes(kUnchangedRun, kUnchangedRun + 5), 5, 0xC4, &out), ERR_INVALIDFORMAT);
  ASSERT_EQ(Decode({0x80}, 4, 0xC4, &out), nullptr);  // low bits past the end read as zero
  EXPECT_EQ(out, Bytes{0x00});
  // A stream longer than the room for it.
  Bytes in = TextLike(5000, 9), full = Encode(in, 0xC4), room(full.size() - 1);
  length = static_cast<u32>(room.size());
  EXPECT_EQ(LzssEncode(in.data(), 5000, room.data(), &length, 0xC4, nullptr), ERR_BUFFERTOOSMALL);
  length = 1;
  EXPECT_EQ(LzssEncode("A", 1, dst, &length, 0xC4, nullptr), ERR_BUFFERTOOSMALL);
}

TEST(LzssCodecTest, EveryCodeRestoresEveryKindOfBlock) {
  std::vector<Bytes> blocks = {PatternBytes(1, 1),   PatternBytes(2, 2),     Bytes(2, 7),
                               PatternBytes(3000, 3), TextLike(20000, 4),    Repetitive(32768, 5),
                               Bytes(32768, 0),       PatternBytes(32768, 7)};
  for (u32 d = 1; d <= 40; d += 3) {  // repeating patterns of short distances
    Bytes v(5000);
    for (size_t i = 0; i < v.size(); i++) v[i] = static_cast<u8>(i % d * 37);
    blocks.push_back(v);
  }
  for (u32 n = 1; n < 300; n += 7) {  // every short length ends after its last token
    Bytes v(n);
    for (u32 i = 0; i < n; i++) v[i] = static_cast<u8>("abcab"[i % 5] + (i % 7 == 0));
    blocks.push_back(v);
  }
  for (u8 code : kAllCodes) {
    for (size_t i = 0; i < blocks.size(); i++) {
      Bytes stream = Encode(blocks[i], code), out;
      EXPECT_LE(stream.size(), blocks[i].size() * 9 / 8 + 2);
      ASSERT_EQ(Decode(stream, static_cast<u32>(blocks[i].size()), code, &out), nullptr)
          << int(code) << " block " << i;
      ASSERT_EQ(out, blocks[i]) << int(code) << " block " << i;
    }
  }
  Bytes big = TextLike(1 << 20, 8), out;
  for (size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<u8>(i >> 12);
  ASSERT_EQ(Decode(Encode(big, 0xC5), static_cast<u32>(big.size()), 0xC5, &out), nullptr);
  EXPECT_EQ(out, big);
}

TEST(LzssCodecTest, UnchangedRunsKeepTheDestinationsBytes) {
  // Far from the block's start the decoder takes its unchecked path; runs
  // there must keep the destination's bytes as well, and the bytes after
  // the block must stay as they were.
  std::mt19937 rng(3);
  for (u8 code : {0xA1, 0xC4, 0xC5}) {
    Bytes prior = PatternBytes(32768, 30), now = prior;
    for (size_t i = 0; i < now.size(); i += 1 + rng() % 64) now[i] = static_cast<u8>(rng());
    Bytes stream(now.size() * 9 / 8 + 2);
    u32 length = static_cast<u32>(stream.size());
    ASSERT_EQ(LzssEncode(now.data(), 32768, stream.data(), &length, code, prior.data()), nullptr);
    if (code == 0xC4) {
      EXPECT_LT(length, 32768u / 2);  // random bytes: only runs make it this short
    }
    Bytes out = prior;
    out.resize(32768 + 64, 0x5A);
    u32 produced = static_cast<u32>(out.size());
    ASSERT_EQ(LzssDecode(stream.data(), length, out.data(), &produced, code), nullptr);
    EXPECT_EQ(produced, 32768u);
    EXPECT_TRUE(std::equal(now.begin(), now.end(), out.begin())) << int(code);
    EXPECT_EQ(Bytes(out.begin() + 32768, out.end()), Bytes(64, 0x5A));
  }
}

// Flips every bitStep-th bit of the block's stream and cuts it after every
// cutStep-th byte: each damaged stream decodes or fails with INVALIDFORMAT.
void DecodeDamaged(const Bytes &block, u8 code, size_t bitStep, size_t cutStep) {
  SCOPED_TRACE(testing::Message() << int(code) << " block of " << block.size());
  Bytes stream = Encode(block, code), out;
  u32 cap = static_cast<u32>(block.size());
  for (size_t bit = 0; bit < stream.size() * 8; bit += bitStep) {
    Bytes bad = stream;
    bad[bit >> 3] ^= static_cast<u8>(0x80 >> (bit & 7));
    Error e = Decode(bad, cap, code, &out);
    EXPECT_TRUE(e == nullptr || e == ERR_INVALIDFORMAT);
  }
  for (size_t n = 0; n < stream.size(); n += cutStep) {
    Error e = Decode(Bytes(stream.begin(), stream.begin() + n), cap, code, &out);
    EXPECT_TRUE(e == nullptr || e == ERR_INVALIDFORMAT);
  }
}

TEST(LzssCodecTest, DamagedStreamsNeverReachOutsideTheirBuffers) {
  DecodeDamaged(TextLike(400, 11), 0xC4, 1, 1);
  DecodeDamaged(Repetitive(500, 12), 0xA1, 1, 1);
  DecodeDamaged(PatternBytes(60, 13), 0xB5, 1, 1);
  DecodeDamaged(Bytes(300, 0), 0xC5, 1, 1);
  // Far from the start the decoder tests the range once for several tokens.
  DecodeDamaged(TextLike(9000, 31), 0xC4, 5, 11);
  DecodeDamaged(Repetitive(9000, 32), 0xA5, 5, 11);
  DecodeDamaged(PatternBytes(6000, 33), 0xB3, 5, 11);
}

}  // namespace
