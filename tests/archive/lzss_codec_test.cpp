#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "archive/lzss.h"
#include "support/temp_dir.h"

namespace {

typedef std::vector<u8> Bytes;

const u8 kAllCodes[] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xB1, 0xB2, 0xB3,
                        0xB4, 0xB5, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5};

Bytes Encode(const Bytes &in, u8 code, Error *error = nullptr) {
  Bytes out(in.size() * 9 / 8 + 2);
  u32 length = static_cast<u32>(out.size());
  Error e = LzssEncode(in.data(), static_cast<u32>(in.size()), out.data(),
                       &length, code, nullptr);
  if (error) *error = e;
  EXPECT_EQ(e, nullptr);
  out.resize(e ? 0 : length);
  return out;
}

// Decodes into a buffer of exactly `capacity` bytes on the heap, so that
// any access outside it is caught by the sanitizer.
Error Decode(const Bytes &stream, u32 capacity, u8 code, Bytes *out) {
  Bytes src(stream);  // exact size: reading past it is caught too
  out->assign(capacity, 0);
  u32 length = capacity;
  Error e = LzssDecode(src.empty() ? nullptr : src.data(),
                       static_cast<u32>(src.size()), out->data(), &length,
                       code);
  if (!e) out->resize(length);
  return e;
}

Bytes Text(const char *s) { return Bytes(s, s + strlen(s)); }

Bytes TextLike(size_t n, unsigned seed) {
  static const char *const kWords[] = {"the ",  "archive ", "block ",
                                       "of ",   "file ",    "and ",
                                       "data\n", "patch ",  "0x1F, ",
                                       "game ", "version ", "{\n  "};
  std::mt19937 rng(seed);
  Bytes v;
  while (v.size() < n) {
    const char *w = kWords[rng() % 12];
    v.insert(v.end(), w, w + strlen(w));
  }
  v.resize(n);
  return v;
}

Bytes Repetitive(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes v(n);
  size_t i = 0;
  while (i < n) {
    size_t run = 1 + rng() % 300;
    u8 value = static_cast<u8>(rng() % 3);
    for (size_t k = 0; k < run && i < n; k++) v[i++] = value;
  }
  return v;
}

}  // namespace

TEST(LzssExampleTest, ThreeLettersAreThreeLiterals) {
  EXPECT_EQ(Encode(Text("abc"), 0xC4), (Bytes{0xB0, 0xD8, 0xAC, 0x60}));
  Bytes out;
  ASSERT_EQ(Decode({0xB0, 0xD8, 0xAC, 0x60}, 100, 0xC4, &out), nullptr);
  EXPECT_EQ(out, Text("abc"));
}

TEST(LzssExampleTest, FourEqualBytesAreALiteralAndADistanceOneMatch) {
  EXPECT_EQ(Encode(Text("aaaa"), 0xC4), (Bytes{0xB0, 0xBF, 0xFC, 0x40}));
  Bytes out;
  ASSERT_EQ(Decode({0xB0, 0xBF, 0xFC, 0x40}, 100, 0xC4, &out), nullptr);
  EXPECT_EQ(out, Text("aaaa"));
}

TEST(LzssExampleTest, OneByteIsTwoStreamBytes) {
  EXPECT_EQ(Encode(Text("A"), 0xC4), (Bytes{0xA0, 0x80}));
  Bytes out;
  ASSERT_EQ(Decode({0xA0, 0x80}, 1, 0xC4, &out), nullptr);
  EXPECT_EQ(out, Text("A"));
}

TEST(LzssExampleTest, RepeatedTextUnderTheShortestLengthField) {
  Bytes stream{0xB0, 0xD8, 0xAC, 0x6F, 0xF6, 0xFF, 0x60};
  EXPECT_EQ(Encode(Text("abcabcabc"), 0xA1), stream);
  Bytes out;
  ASSERT_EQ(Decode(stream, 9, 0xA1, &out), nullptr);
  EXPECT_EQ(out, Text("abcabcabc"));
}

TEST(LzssExampleTest, ZeroBlockIsOneLiteralAndMaximalMatches) {
  Bytes zeros(32768, 0);
  Bytes stream = Encode(zeros, 0xC4);
  ASSERT_EQ(stream.size(), 4099u);
  // 9 + 1928 * 17 bits: a literal, then 1,927 matches of length 17 at
  // distance 1 (x = 4095, f = 15).
  EXPECT_EQ(stream[0], 0x80);
  EXPECT_EQ(stream[1], 0x3F);  // 0 | 0 1111111 ...
  for (int k = 0; k < 1927; k++) {
    u64 bit = 9 + 17ull * k;
    u32 token = 0;
    for (int i = 0; i < 17; i++, bit++)
      token = (token << 1) | ((stream[bit >> 3] >> (7 - (bit & 7))) & 1);
    ASSERT_EQ(token, (4095u << 4) | 15u) << "match " << k;
  }
  u64 bit = 9 + 17ull * 1927;
  u32 f = 0;
  for (int i = 0; i < 17; i++, bit++)
    f = (f << 1) | ((stream[bit >> 3] >> (7 - (bit & 7))) & 1);
  EXPECT_EQ(f >> 16, 0u);   // a match
  EXPECT_EQ(f & 15, 6u);    // of length 8
  Bytes out;
  ASSERT_EQ(Decode(stream, 32768, 0xC4, &out), nullptr);
  EXPECT_EQ(out, zeros);
}

TEST(LzssCodeTest, UnknownCodesFailOnANonEmptyBlock) {
  Bytes out;
  for (u8 code : {0xC6, 0xD4, 0x94, 0xA0, 0x00, 0xFF})
    EXPECT_EQ(Decode({0xA0, 0x80}, 10, code, &out), LERR_NOSUCHBITLENGTHS)
        << std::hex << int(code);
  EXPECT_EQ(Decode({0xA0, 0x80}, 10, 0xA1, &out), nullptr);
  EXPECT_EQ(Decode({0xA0, 0x80}, 10, 0xC5, &out), nullptr);
  u8 dst[4];
  u32 length = 4;
  EXPECT_EQ(LzssEncode("ab", 2, dst, &length, 0xC6, nullptr),
            LERR_NOSUCHBITLENGTHS);
}

TEST(LzssCodeTest, EmptyBlockDecodesToNothingUnderAnyCode) {
  for (int code = 0; code < 256; code++) {
    u32 length = 99;
    EXPECT_EQ(LzssDecode(nullptr, 0, nullptr, &length, static_cast<u8>(code)),
              nullptr);
    EXPECT_EQ(length, 0u);
  }
}

TEST(LzssRoundTripTest, EveryCodeRestoresEveryKindOfBlock) {
  std::vector<Bytes> blocks = {
      PatternBytes(1, 1),         PatternBytes(2, 2),
      Bytes(2, 7),                PatternBytes(3000, 3),
      TextLike(20000, 4),         Repetitive(32768, 5),
      Bytes(32768, 0),            TextLike(32768, 6),
      PatternBytes(32768, 7)};
  for (u8 code : kAllCodes) {
    for (size_t i = 0; i < blocks.size(); i++) {
      Bytes stream = Encode(blocks[i], code);
      EXPECT_LE(stream.size(), blocks[i].size() * 9 / 8 + 2);
      Bytes out;
      ASSERT_EQ(Decode(stream, static_cast<u32>(blocks[i].size()), code, &out),
                nullptr)
          << std::hex << int(code) << " block " << i;
      EXPECT_EQ(out, blocks[i]) << std::hex << int(code) << " block " << i;
    }
  }
}

TEST(LzssRoundTripTest, LargeBlocksRoundTrip) {
  Bytes big = TextLike(1 << 20, 8);
  for (size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<u8>(i >> 12);
  for (u8 code : {0xA1, 0xC5}) {
    Bytes out;
    ASSERT_EQ(Decode(Encode(big, code), static_cast<u32>(big.size()), code, &out),
              nullptr);
    EXPECT_EQ(out, big);
  }
}

TEST(LzssRoundTripTest, RepeatingPatternsOfEveryShortDistance) {
  for (u32 d = 1; d <= 40; d++) {
    Bytes v(5000);
    for (size_t i = 0; i < v.size(); i++) v[i] = static_cast<u8>(i % d * 37);
    for (u8 code : {0xA5, 0xC4}) {
      Bytes out;
      ASSERT_EQ(Decode(Encode(v, code), 5000, code, &out), nullptr);
      EXPECT_EQ(out, v) << d;
    }
  }
}

TEST(LzssEncoderTest, StreamLongerThanTheCapacityIsRefused) {
  Bytes in = TextLike(5000, 9);
  Bytes full = Encode(in, 0xC4);
  Bytes dst(full.size());
  u32 length = static_cast<u32>(dst.size());
  ASSERT_EQ(LzssEncode(in.data(), 5000, dst.data(), &length, 0xC4, nullptr),
            nullptr);
  EXPECT_EQ(dst, full);
  dst.assign(full.size() - 1, 0xEE);
  length = static_cast<u32>(dst.size());
  EXPECT_EQ(LzssEncode(in.data(), 5000, dst.data(), &length, 0xC4, nullptr),
            ERR_BUFFERTOOSMALL);
  u8 one[1];
  length = 1;
  EXPECT_EQ(LzssEncode("A", 1, one, &length, 0xC4, nullptr), ERR_BUFFERTOOSMALL);
}

TEST(LzssEncoderTest, BytesAgreeingWithTheReferenceBecomeUnchangedRuns) {
  Bytes prior = PatternBytes(4000, 10);
  Bytes now = prior;
  for (size_t i = 1000; i < 1010; i++) now[i] ^= 0x55;
  Bytes dst(now.size() * 9 / 8 + 2);
  u32 length = static_cast<u32>(dst.size());
  ASSERT_EQ(LzssEncode(now.data(), 4000, dst.data(), &length, 0xC4,
                       prior.data()),
            nullptr);
  // Random data: only runs of at most 17 bytes make it this short.
  EXPECT_LT(length, 4000u * 17 / 8 / 16 + 60);
  Bytes out = prior;        // decoding over the prior contents
  u32 produced = 4000;
  ASSERT_EQ(LzssDecode(dst.data(), length, out.data(), &produced, 0xC4),
            nullptr);
  EXPECT_EQ(produced, 4000u);
  EXPECT_EQ(out, now);
}

TEST(LzssEncoderTest, UnchangedRunsDecodeOverThePriorContentsOfALargeBlock) {
  // Far from the block's start the decoder takes its unchecked path; runs
  // there must keep the destination's bytes as well, and the bytes after
  // the block must stay as they were.
  for (u8 code : {0xA1, 0xC4, 0xC5}) {
    Bytes prior = TextLike(32768, 30);
    Bytes now = prior;
    std::mt19937 rng(code);
    for (size_t i = 0; i < now.size(); i += 1 + rng() % 64)
      now[i] = static_cast<u8>(rng());
    Bytes dst(now.size() * 9 / 8 + 2);
    u32 length = static_cast<u32>(dst.size());
    ASSERT_EQ(LzssEncode(now.data(), 32768, dst.data(), &length, code,
                         prior.data()),
              nullptr);
    dst.resize(length);
    Bytes out = prior;
    out.resize(32768 + 64, 0x5A);
    u32 produced = static_cast<u32>(out.size());
    ASSERT_EQ(LzssDecode(dst.data(), length, out.data(), &produced, code),
              nullptr);
    EXPECT_EQ(produced, 32768u);
    EXPECT_TRUE(std::equal(now.begin(), now.end(), out.begin()))
        << std::hex << int(code);
    EXPECT_EQ(Bytes(out.begin() + 32768, out.end()), Bytes(64, 0x5A));
  }
}

TEST(LzssDecoderTest, UnchangedRunLeavesTheDestinationBytes) {
  // Under 0xC4: literal 'Q', a run of 5 (x = 0, f = 3), literal 'Z'.
  // 1 01010001 | 0 000000000000 0011 | 1 01011010
  Bytes stream{0xA8, 0x80, 0x00, 0xEB, 0x40};
  Bytes out(10, 0x77);
  u32 length = 10;
  ASSERT_EQ(LzssDecode(stream.data(), 5, out.data(), &length, 0xC4), nullptr);
  ASSERT_EQ(length, 7u);
  EXPECT_EQ(out, (Bytes{'Q', 0x77, 0x77, 0x77, 0x77, 0x77, 'Z', 0x77, 0x77,
                        0x77}));
}

TEST(LzssDecoderTest, CopyBeforeTheBlockStartIsRejected) {
  // A literal then a match at distance 2 (x = 4094).
  Bytes stream{0xB0, 0xBF, 0xF8, 0x40};
  Bytes out;
  EXPECT_EQ(Decode(stream, 100, 0xC4, &out), ERR_INVALIDFORMAT);
}

TEST(LzssDecoderTest, OutputPastTheCapacityIsRejected) {
  Bytes stream = Encode(Text("aaaa"), 0xC4);
  Bytes out;
  EXPECT_EQ(Decode(stream, 3, 0xC4, &out), ERR_INVALIDFORMAT);
  EXPECT_EQ(Decode(stream, 4, 0xC4, &out), nullptr);
  EXPECT_EQ(Decode(Text("ab"), 0, 0xC4, &out), ERR_INVALIDFORMAT);
  // An unchanged run past the capacity.
  Bytes run{0xA8, 0x80, 0x00, 0xEB, 0x40};
  EXPECT_EQ(Decode(run, 5, 0xC4, &out), ERR_INVALIDFORMAT);
}

TEST(LzssDecoderTest, OneByteStreamDecodesOneToken) {
  Bytes out;
  // 0x80: a literal whose low bits lie past the end and read as zero.
  ASSERT_EQ(Decode({0x80}, 4, 0xC4, &out), nullptr);
  EXPECT_EQ(out, Bytes{0x00});
}

namespace {

// Flips every bitStep-th bit of the block's stream and cuts it after every
// cutStep-th byte: each damaged stream decodes or fails with INVALIDFORMAT,
// within its buffers (the sanitizers watch the rest).
void DecodeDamagedStreams(const Bytes &block, u8 code, size_t bitStep,
                          size_t cutStep) {
  SCOPED_TRACE(testing::Message() << std::hex << int(code) << std::dec
                                  << " block of " << block.size());
  Bytes stream = Encode(block, code);
  u32 cap = static_cast<u32>(block.size());
  Bytes out;
  for (size_t bit = 0; bit < stream.size() * 8; bit += bitStep) {
    Bytes bad = stream;
    bad[bit >> 3] ^= static_cast<u8>(0x80 >> (bit & 7));
    Error e = Decode(bad, cap, code, &out);
    EXPECT_TRUE(e == nullptr || e == ERR_INVALIDFORMAT);
    if (!e) {
      EXPECT_LE(out.size(), cap);
    }
  }
  for (size_t n = 0; n < stream.size(); n += cutStep) {
    Bytes cut(stream.begin(), stream.begin() + n);
    Error e = Decode(cut, cap, code, &out);
    EXPECT_TRUE(e == nullptr || e == ERR_INVALIDFORMAT);
  }
}

}  // namespace

TEST(LzssDecoderTest, DamagedStreamsNeverReachOutsideTheirBuffers) {
  DecodeDamagedStreams(TextLike(400, 11), 0xC4, 1, 1);
  DecodeDamagedStreams(Repetitive(500, 12), 0xA1, 1, 1);
  DecodeDamagedStreams(PatternBytes(60, 13), 0xB5, 1, 1);
  DecodeDamagedStreams(Bytes(300, 0), 0xC5, 1, 1);
}

TEST(LzssDecoderTest, DamagedStreamsOfLargeBlocksNeverReachOutside) {
  // Far from the block's start the decoder tests the range once for several
  // tokens; damage there must be caught all the same.
  DecodeDamagedStreams(TextLike(9000, 31), 0xC4, 5, 11);
  DecodeDamagedStreams(Repetitive(9000, 32), 0xA5, 5, 11);
  DecodeDamagedStreams(PatternBytes(6000, 33), 0xB3, 5, 11);
}

TEST(LzssDecoderTest, DecodesInPlaceFromTheTailOfTheBuffer) {
  for (u8 code : {0xA1, 0xC4, 0xC5}) {
    for (unsigned seed = 20; seed < 23; seed++) {
      Bytes block = seed == 20 ? TextLike(32768, seed) : Repetitive(32768, seed);
      if (seed == 22) block = PatternBytes(32768, seed);
      Bytes stream = Encode(block, code);
      Bytes work(32768 * 9 / 8 + 2);
      size_t at = work.size() - stream.size();
      std::copy(stream.begin(), stream.end(), work.begin() + at);
      u32 length = 32768;
      ASSERT_EQ(LzssDecode(work.data() + at, static_cast<u32>(stream.size()),
                           work.data(), &length, code),
                nullptr);
      ASSERT_EQ(length, 32768u);
      EXPECT_TRUE(std::equal(block.begin(), block.end(), work.begin()));
    }
  }
}

TEST(LzssRoundTripTest, EveryShortLengthStopsRightAfterItsLastToken) {
  for (u8 code : {0xA1, 0xB3, 0xC4, 0xC5}) {
    for (u32 n = 1; n < 300; n++) {
      Bytes v(n);
      for (u32 i = 0; i < n; i++) v[i] = static_cast<u8>("abcab"[i % 5] + (i % 7 == 0));
      Bytes out;
      ASSERT_EQ(Decode(Encode(v, code), n, code, &out), nullptr) << n;
      ASSERT_EQ(out, v) << n;
    }
  }
}
