// The LZSS codec and container: golden streams, round trips under every
// code and damaged streams; the encoder against a plain reference model; the
// container file against a byte vector, its layout and damage, and the same
// container for every number of the writer's threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "archive/lzss.h"
#include "archive/lzss_file.h"
#include "archive/lzss_writer.h"
#include "core/endian.h"
#include "support/temp_dir.h"

namespace {


typedef std::vector<u8> Bytes;

const u8 kAllCodes[] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xB1, 0xB2, 0xB3,
                        0xB4, 0xB5, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5};
// Under 0xC4: literal 'Q', an unchanged run of 5, literal 'Z'.
// 1 01010001 | 0 000000000000 0011 | 1 01011010
const u8 kUnchangedRun[] = {0xA8, 0x80, 0x00, 0xEB, 0x40};

// Writes its bytes to the sink `piece` bytes at a time.
struct Pieces {
  const Bytes *bytes;
  u32 piece;
  static Error Produce(CFile *sink, void *context) {
    const Pieces *p = static_cast<const Pieces *>(context);
    for (size_t at = 0; at < p->bytes->size(); at += p->piece) {
      u32 n = static_cast<u32>(std::min<size_t>(p->piece, p->bytes->size() - at));
      Error e = sink->Write(p->bytes->data() + at, n, nullptr);
      if (e) return e;
    }
    return nullptr;
  }
};

Bytes Encode(const Bytes &in, u8 code, const Bytes *reference = nullptr) {
  Bytes out(in.size() * 9 / 8 + 2);
  u32 length = static_cast<u32>(out.size());
  EXPECT_EQ(LzssEncode(in.data(), static_cast<u32>(in.size()), out.data(), &length, code,
                       reference ? reference->data() : nullptr),
            nullptr);
  out.resize(length);
  return out;
}

Bytes Repetitive(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes v;
  while (v.size() < n) v.insert(v.end(), 1 + rng() % 300, static_cast<u8>(rng() % 3));
  v.resize(n);
  return v;
}

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
  Bytes in = TextBytes(5000, 9), full = Encode(in, 0xC4), room(full.size() - 1);
  length = static_cast<u32>(room.size());
  EXPECT_EQ(LzssEncode(in.data(), 5000, room.data(), &length, 0xC4, nullptr), ERR_BUFFERTOOSMALL);
  length = 1;
  EXPECT_EQ(LzssEncode("A", 1, dst, &length, 0xC4, nullptr), ERR_BUFFERTOOSMALL);
  for (u32 n = 1; n <= 40; n++) {  // exactly the room a stream needs is enough
    Bytes plain = TextBytes(n, n), exact(Encode(plain, 0xA1).size());
    length = static_cast<u32>(exact.size());
    EXPECT_EQ(LzssEncode(plain.data(), n, exact.data(), &length, 0xA1, nullptr), nullptr) << n;
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
  DecodeDamaged(TextBytes(400, 11), 0xC4, 1, 1);
  DecodeDamaged(Repetitive(500, 12), 0xA1, 1, 1);
  DecodeDamaged(Bytes(300, 0), 0xC5, 1, 1);
  // Far from the start the decoder tests the range once for several tokens.
  DecodeDamaged(TextBytes(9000, 31), 0xC4, 5, 11);
  DecodeDamaged(Repetitive(9000, 32), 0xA5, 5, 11);
  DecodeDamaged(PatternBytes(6000, 33), 0xB3, 5, 11);
}

// The encoder against a plain greedy tree encoder, byte for byte, and the
// decoder back over the reference's bytes.

class ReferenceEncoder {
 public:
  ReferenceEncoder(const Bytes &source, u8 code, const Bytes *reference)
      : mSrc(source), mRef(reference), mN(static_cast<u32>(source.size())),
        mW(code >> 4), mL(code & 15), mNodes((1u << mW) - 1) {}

  Bytes Run() {
    Emit(0x100u | mSrc[0], 9);
    mRoot = 0;
    mNodes[0].position = 0;
    mCursor = 1 % mNodes.size();
    u32 p = 1;
    while (p < mN) {
      u32 t = Limit(p, 0);
      Search(p, t, mRoot);
      u32 matchPos = mRightPos, matchLen = mRightLen;
      if (mLeftLen > mRightLen) {
        matchPos = mLeftPos;
        matchLen = mLeftLen;
      }
      bool unchanged = false;
      if (mRef) {
        u32 j = 0;
        while (j < t && mSrc[p + j] == (*mRef)[p + j]) j++;
        if (j > matchLen) {
          matchLen = j;
          unchanged = true;
        }
      }
      u32 covered = 1;
      if (matchLen < 2) {
        Emit(0x100u | mSrc[p], 9);
        Insert(p, t, 1);
      } else {
        u32 x = unchanged ? 0 : (1u << mW) - (p - matchPos);
        Emit((x << mL) | (matchLen - 2), 1 + mW + mL);
        covered = matchLen;
        Insert(p, t, matchLen);
      }
      for (u32 q = p + 1; q < p + covered; q++) {
        Search(q, Limit(q, 1), mRoot);
        Insert(q, Limit(q, 0), mLeftLen);
      }
      p += covered;
    }
    return mOut;
  }

 private:
  struct Node {
    int parent = -1, child[2] = {-1, -1};
    u32 position = 0;
  };
  enum { kLeft = 0, kRight = 1 };

  u32 Limit(u32 q, u32 extra) const {
    u32 maxLen = (1u << mL) + 1;
    return mN - q + extra < maxLen ? mN - q + extra : maxLen;
  }
  // A byte past the end sorts above every byte value.
  int Byte(u32 i) const { return i < mN ? mSrc[i] : 256; }

  void Search(u32 q, u32 t, int from) {
    mLeftPos = mLeftLen = mRightPos = mRightLen = 0;
    int node = from;
    for (;;) {
      u32 s = mNodes[node].position;
      u32 j = 0;
      while (j < t && Byte(q + j) == Byte(s + j)) j++;
      if (j == t) {
        mLeftPos = s;
        mLeftLen = t;
        mEnd = node;
        return;
      }
      int side = Byte(q + j) < Byte(s + j) ? kLeft : kRight;
      if (side == kLeft) {
        mLeftPos = s;
        mLeftLen = j;
      } else {
        mRightPos = s;
        mRightLen = j;
      }
      int next = mNodes[node].child[side];
      if (next < 0) {
        mEnd = node;
        mSide = side;
        return;
      }
      node = next;
    }
  }

  // Hangs `with` (or nothing) where `old` hung: the root, or the parent's
  // left link when that names `old`, otherwise its right link.
  void PutInPlaceOf(int old, int with) {
    int p = mNodes[old].parent;
    if (p < 0)
      mRoot = with;
    else
      mNodes[p].child[mNodes[p].child[kLeft] == old ? kLeft : kRight] = with;
    if (with >= 0) mNodes[with].parent = p;
  }

  void Insert(u32 q, u32 t, u32 u) {
    int c = static_cast<int>(mCursor);
    mCursor = (mCursor + 1) % mNodes.size();
    if (c == mEnd) {
      mNodes[c].position = q;
      return;
    }
    Node &nc = mNodes[c];
    if (nc.parent >= 0 || mRoot == c) {
      int left = nc.child[kLeft], right = nc.child[kRight];
      if (left >= 0 && right >= 0) {
        int d = left;
        while (mNodes[d].child[kRight] >= 0) d = mNodes[d].child[kRight];
        PutInPlaceOf(d, mNodes[d].child[kLeft]);
        left = nc.child[kLeft];
        mNodes[d].child[kLeft] = left;
        mNodes[d].child[kRight] = right;
        if (left >= 0) mNodes[left].parent = d;
        mNodes[right].parent = d;
        PutInPlaceOf(c, d);
      } else {
        PutInPlaceOf(c, left >= 0 ? left : right);
      }
      nc.parent = nc.child[kLeft] = nc.child[kRight] = -1;
    }
    nc.position = q;
    int end = mEnd;
    if (u < t) {
      if (mNodes[end].child[mSide] >= 0) {
        Search(q, t, mNodes[end].child[mSide]);
        end = mEnd;
        // Ended on a full match: what hangs on the recorded side leaves the
        // tree so that c can take the slot.
        int taken = mNodes[end].child[mSide];
        if (mLeftLen == t && taken >= 0) mNodes[taken].parent = -1;
      }
      nc.parent = end;
      nc.child[kLeft] = nc.child[kRight] = -1;
      mNodes[end].child[mSide] = c;
    } else {
      Node &ne = mNodes[end];
      nc.child[kLeft] = ne.child[kLeft];
      nc.child[kRight] = ne.child[kRight];
      for (int k : nc.child)
        if (k >= 0) mNodes[k].parent = c;
      PutInPlaceOf(end, c);
      ne.parent = ne.child[kLeft] = ne.child[kRight] = -1;
    }
  }

  void Emit(u32 value, u32 bits) {
    for (u32 k = bits; k-- > 0; mBits++) {
      if ((mBits & 7) == 0) mOut.push_back(0);
      if ((value >> k) & 1) mOut.back() |= static_cast<u8>(0x80 >> (mBits & 7));
    }
  }

  const Bytes &mSrc;
  const Bytes *mRef;
  u32 mN, mW, mL;
  std::vector<Node> mNodes;
  int mRoot = -1;
  size_t mCursor = 0;
  u32 mLeftPos = 0, mLeftLen = 0, mRightPos = 0, mRightLen = 0;
  int mEnd = -1, mSide = kLeft;
  Bytes mOut;
  u64 mBits = 0;
};

// Blocks for every path: literals, matches, runs, ties, a wrapping ring, short ends.
std::vector<Bytes> Blocks(unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<Bytes> blocks = {PatternBytes(6000, seed), TextBytes(12000, seed),
                               Repetitive(8000, seed)};
  Bytes runs, periodic(5000), mixed = PatternBytes(600, seed);
  while (runs.size() < 10000) runs.insert(runs.end(), 1 + rng() % 5, rng() % 3);
  for (size_t i = 0, period = 1 + rng() % 40; i < periodic.size(); i++)
    periodic[i] = static_cast<u8>((i % period) * 7 + (rng() % 50 == 0));
  while (mixed.size() < 12000) {
    size_t back = 1 + rng() % std::min<size_t>(mixed.size(), 5000), len = 1 + rng() % 300;
    for (size_t k = 0; k < len; k++) mixed.push_back(rng() % 8 ? mixed[mixed.size() - back] : rng());
  }
  blocks.insert(blocks.end(), {runs, periodic, mixed});
  for (u32 n = 1; n <= 40; n++) {
    blocks.emplace_back(n);
    for (u8 &b : blocks.back()) b = rng() % 2 ? 'a' : 'b';
  }
  return blocks;
}

TEST(LzssReferenceEncoderTest, EncoderGivesTheReferenceStream) {
  std::mt19937 rng(77);
  for (u8 code : kAllCodes) {  // with a reference that differs here and there under some
    for (const Bytes &block : Blocks(code)) {
      Bytes prior = block;
      for (size_t k = 0; k < prior.size(); k += 1 + rng() % 40) prior[k] ^= 1 + rng() % 255;
      for (const Bytes *reference : {static_cast<const Bytes *>(nullptr), static_cast<const Bytes *>(&prior)}) {
        Bytes stream = Encode(block, code, reference), out = reference ? prior : Bytes(block.size());
        ASSERT_EQ(stream, ReferenceEncoder(block, code, reference).Run())
            << int(code) << " size " << block.size() << (reference ? " with a reference" : "");
        u32 length = static_cast<u32>(out.size());  // and back, over the reference's bytes
        ASSERT_EQ(LzssDecode(stream.data(), static_cast<u32>(stream.size()), out.data(), &length, code), nullptr);
        ASSERT_EQ(out, block) << int(code);
        if (code % 16 != 1 && code % 16 != 5) break;
      }
    }
  }
  // The encoder orders the positions of a large block a part at a time; the
  // window must carry over from one part to the next.
  Bytes block;
  for (const Bytes &p : Blocks(5)) block.insert(block.end(), p.begin(), p.end());
  block.resize(80000, 0);
  Bytes prior = block;
  for (size_t k = 0; k < prior.size(); k += 1 + k % 97) prior[k] ^= 0x5A;
  for (u8 code : {0xA1, 0xC4}) {
    ASSERT_EQ(Encode(block, code), ReferenceEncoder(block, code, nullptr).Run()) << int(code);
    ASSERT_EQ(Encode(block, code, &prior), ReferenceEncoder(block, code, &prior).Run()) << int(code);
  }
}



Bytes Container(u32 size, u32 blockSize, u8 code, const std::vector<Bytes> &stored) {
  Bytes c(14 + 4 * stored.size());
  memcpy(c.data(), "LZSS", 4);
  PutU32LE(&c[4], size);
  PutU32LE(&c[8], blockSize);
  c[12] = code;
  for (size_t i = 0; i < stored.size(); i++) {
    PutU32LE(&c[14 + 4 * i], static_cast<u32>(c.size()));
    c.insert(c.end(), stored[i].begin(), stored[i].end());
  }
  return c;
}

class LzssFileTest : public ::testing::Test {
 protected:
  std::string Put(const Bytes &bytes, const char *name = "c.lzs") {
    WriteWholeFile(dir / name, bytes);
    return dir / name;
  }
  std::unique_ptr<CLzssFile> Open(const std::string &path) {
    return std::unique_ptr<CLzssFile>(new CLzssFile(OpenNativeFile(path, true, false), 1));
  }
  std::string Compress(const Bytes &plain, u32 blockSize = 32768, u8 code = 0xC4) {
    std::unique_ptr<CHostFile> i(OpenNativeFile(Put(plain, "plain.bin"), false, false));
    std::unique_ptr<CHostFile> o(OpenNativeFile(dir / "c.lzs", true, true));
    EXPECT_EQ(LzssCompressFile(i.get(), o.get(), code, blockSize), nullptr);
    return dir / "c.lzs";
  }
  static Bytes ReadAll(CFile *f) {
    Bytes v(f->GetSize());
    u32 n = 0;
    EXPECT_EQ(f->ReadAt(v.data(), 0, static_cast<u32>(v.size()), &n), nullptr);
    EXPECT_EQ(n, v.size());
    return v;
  }
  TempDir dir;
};

// Blocks are coded alone, so every number of threads writes the container one
// thread writes, block by block: the stream where it is shorter, else the
// block raw. Text and noise in turns, so that blocks are stored both ways.
TEST_F(LzssFileTest, EveryNumberOfThreadsWritesTheSameBytes) {
  const size_t kLarge = 2 << 20;
  Bytes large = PatternBytes(kLarge, 21), text = TextBytes(kLarge, 22);
  for (size_t at = 0; at < kLarge; at += 200000)
    std::copy_n(text.begin() + at, std::min<size_t>(60000, kLarge - at), large.begin() + at);
  for (size_t size : {size_t(0), size_t(1), size_t(32767), size_t(32768), size_t(32769), kLarge}) {
    Bytes plain(large.begin(), large.begin() + size);
    std::string in = Put(plain, "plain.bin");
    for (u8 code : {0xC4, 0xA1, 0xC5}) {
      for (u32 blockSize : {1000u, 32768u}) {
        // The large input: blocks of 1000 under one code only (eight threads'
        // slots are filled many times over already at 32,769 bytes).
        if (size == kLarge && blockSize == 1000 && code != 0xC4) continue;
        Bytes expected;
        if (size < kLarge) {
          std::vector<Bytes> stored;
          for (size_t at = 0; at < size || stored.empty(); at += blockSize) {
            Bytes block(plain.begin() + at, plain.begin() + std::min<size_t>(size, at + blockSize));
            Bytes out(block.empty() ? 0 : block.size() - 1);
            u32 length = static_cast<u32>(out.size());
            Error e = block.empty() ? nullptr
                                    : LzssEncode(block.data(), static_cast<u32>(block.size()),
                                                 out.data(), &length, code, nullptr);
            out.resize(block.empty() ? 0 : length);
            stored.push_back(e == ERR_BUFFERTOOSMALL ? block : out);
          }
          expected = Container(static_cast<u32>(size), blockSize, code, stored);
        }
        for (u32 workers : {1u, 2u, 3u, 8u}) {
          SCOPED_TRACE(std::to_string(size) + " bytes, code " + std::to_string(code) +
                       ", blocks of " + std::to_string(blockSize) + ", threads " +
                       std::to_string(workers));
          std::unique_ptr<CHostFile> i(OpenNativeFile(in, false, false));
          std::unique_ptr<CHostFile> o(OpenNativeFile(dir / "c.lzs", true, true));
          LzssWriteOptions options = {workers, {nullptr, nullptr}};
          ASSERT_EQ(LzssCompressFile(i.get(), o.get(), code, blockSize, &options), nullptr);
          o.reset();
          if (expected.empty()) expected = ReadWholeFile(dir / "c.lzs");
          ASSERT_EQ(ReadWholeFile(dir / "c.lzs"), expected);
          // The same bytes put in pieces that straddle the blocks.
          o.reset(OpenNativeFile(dir / "s.lzs", true, true));
          Pieces pieces = {&plain, 777};
          ASSERT_EQ(LzssCompressStream(static_cast<u32>(size), Pieces::Produce, &pieces, o.get(),
                                       code, blockSize, &options), nullptr);
          o.reset();
          ASSERT_EQ(ReadWholeFile(dir / "s.lzs"), expected);
        }
      }
    }
  }
}

// A stream told one size and given another fails, whatever the threads.
TEST_F(LzssFileTest, AStreamGivenMoreOrFewerBytesThanItsSizeFails) {
  Bytes plain = TextBytes(5000, 21);
  for (u32 workers : {1u, 2u}) {
    LzssWriteOptions options = {workers, {nullptr, nullptr}};
    for (u32 told : {4999u, 5001u, 0u}) {
      std::unique_ptr<CHostFile> o(OpenNativeFile(dir / "s.lzs", true, true));
      Pieces pieces = {&plain, 1000};
      EXPECT_EQ(LzssCompressStream(told, Pieces::Produce, &pieces, o.get(), 0xC4, 1000, &options),
                told < 5000 ? ERR_OUTOFRANGE : FERR_EOF) << told << " " << workers;
    }
  }
}

TEST_F(LzssFileTest, RandomWritesMatchAModelAcrossReopening) {
  std::mt19937 rng(20240601);
  Bytes model = TextBytes(3000, 14), noise = PatternBytes(4000, 15), text = TextBytes(4000, 16);
  std::string path = Compress(model, 512, 0xB4);
  auto f = Open(path);
  ASSERT_EQ(f->valid, 1u);
  for (int step = 0; step < 400; step++) {
    u32 op = rng() % 100, size = static_cast<u32>(model.size());
    if (op < 55) {
      u32 at = rng() % (size + 300), n = 1 + rng() % (op < 10 ? 2000 : 300);
      const Bytes &src = rng() % 3 ? text : noise;
      u32 from = rng() % (4000 - n);
      u32 wrote = 0;
      ASSERT_EQ(f->WriteAt(&src[from], at, n, &wrote), nullptr) << step;
      ASSERT_EQ(wrote, n) << step;
      if (at + n > model.size()) model.resize(at + n, 0);
      memcpy(&model[at], &src[from], n);
    } else if (op < 75) {
      u32 at = size ? rng() % size : 0, n = rng() % 1500, count = 0;
      Bytes got(n, 0xEE);
      ASSERT_EQ(f->ReadAt(got.data(), at, n, &count), nullptr) << step;
      ASSERT_EQ(count, std::min(n, size - at)) << step;
      ASSERT_TRUE(std::equal(got.begin(), got.begin() + count, model.begin() + at)) << step;
    } else if (op < 83) {
      u32 to = rng() % (size + 1);
      f->Seek(static_cast<i32>(to), 0);
      ASSERT_EQ(f->Truncate(), nullptr) << step;
      model.resize(to);
    } else if (op < 90) {
      ASSERT_EQ(f->Flush(), nullptr) << step;
    } else {
      f.reset();
      f = Open(path);
      ASSERT_EQ(f->valid, 1u) << step;
      ASSERT_EQ(f->GetSize(), model.size()) << step;
    }
  }
  EXPECT_EQ(ReadAll(f.get()), model);
  f.reset();
  f = Open(path);
  EXPECT_EQ(ReadAll(f.get()), model);
}

TEST_F(LzssFileTest, TheTableAndTheBlocksAreLaidOutByteForByte) {
  const u32 size = 6935030;
  Bytes plain(size, 0);
  for (u32 i = 0; i < size; i += 4093) plain[i] = static_cast<u8>(i >> 12);
  std::string path = Compress(plain);
  Bytes before = ReadWholeFile(path);
  auto f = Open(path);
  ASSERT_EQ(f->valid, 1u);
  EXPECT_EQ(f->Cast(CLzssFile::sClassName), f.get());
  EXPECT_EQ(f->BlockCount(), 212u);
  EXPECT_EQ(f->BlockOffset(0), 862u);
  Bytes tail(20982);  // size - 211 * 32768
  ASSERT_EQ(f->ReadAt(tail.data(), 211 * 32768, 20982, nullptr), nullptr);
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), plain.end() - 20982));
  EXPECT_EQ(f->Flush(), nullptr);
  f.reset();
  EXPECT_EQ(ReadWholeFile(path), before);  // reading changes nothing
  // One written byte makes a raw block compressed; the next stays raw.
  plain = TextBytes(3 * 4096, 10);
  std::vector<Bytes> blocks;
  for (int i = 0; i < 3; i++) blocks.emplace_back(plain.begin() + 4096 * i, plain.begin() + 4096 * (i + 1));
  path = Put(Container(3 * 4096, 4096, 0xC4, blocks));
  f = Open(path);
  EXPECT_EQ(f->WriteAt("Z", 5, 1, nullptr), nullptr);
  EXPECT_EQ(f->Flush(), nullptr);
  f.reset();
  Bytes after = ReadWholeFile(path);
  EXPECT_EQ(GetU32LE(&after[14]), 26u);
  EXPECT_LT(GetU32LE(&after[18]) - 26, 4096u);
  EXPECT_EQ(GetU32LE(&after[22]) + 4096, after.size());
  plain[5] = 'Z';
  EXPECT_EQ(ReadAll(Open(path).get()), plain);
}

TEST_F(LzssFileTest, BlocksAreReadByTheirStoredLength) {
  // Raw, empty and compressed blocks; a last block stored at its own length is raw.
  Bytes raw = PatternBytes(16, 6), last(8, 'a'), want = raw;
  want.resize(32, 0);
  want.insert(want.end(), last.begin(), last.end());
  EXPECT_EQ(ReadAll(Open(Put(Container(40, 16, 0xC4, {raw, {}, Encode(last, 0xC4)}))).get()), want);
  Bytes all = ReadAll(Open(Put(Container(20, 16, 0xC4, {raw, Bytes{1, 2, 3, 4}}))).get());
  EXPECT_EQ(Bytes(all.begin() + 16, all.end()), (Bytes{1, 2, 3, 4}));
  // Damaged blocks fail the read that needs them, and leave the cache empty.
  Bytes c = Container(96, 32, 0xC4, {Encode(Bytes(32, 'a'), 0xC4), Bytes(40, 'x'), Encode(Bytes(64, 'b'), 0xC4)});
  auto f = Open(Put(c));
  u8 buf[32];
  EXPECT_EQ(f->ReadAt(buf, 32, 4, nullptr), ERR_INVALIDFORMAT);  // stored 40 > 32
  EXPECT_EQ(f->ReadAt(buf, 64, 4, nullptr), ERR_INVALIDFORMAT);  // decodes to 64 > 32
  EXPECT_EQ(f->ReadAt(buf, 0, 32, nullptr), nullptr);
  EXPECT_EQ(buf[31], 'a');
  EXPECT_EQ(f->ReadAt(buf, 40, 1, nullptr), ERR_INVALIDFORMAT);
  // Found by fuzzing: an unchanged run (x = 0) kept the bytes of whatever
  // block was cached before. Block 1 under 0xA1: a literal x, a run of 3.
  f.reset();
  std::string path = Put(Container(12, 8, 0xA1, {Bytes(8, 'A'), Bytes{0xBC, 0x00, 0x08}}));
  for (bool frontFirst : {false, true}) {
    f.reset();
    f = Open(path);
    if (frontFirst) {
      ASSERT_EQ(f->ReadAt(buf, 0, 8, nullptr), nullptr);
    }
    ASSERT_EQ(f->ReadAt(buf, 8, 4, nullptr), nullptr);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{'x', 0, 0, 0}));
  }
}

TEST_F(LzssFileTest, DamagedContainersAndBadConversionsAreRefused) {
  Bytes good = Container(20, 16, 0xC4, {PatternBytes(16, 8), Bytes{1, 2, 3, 4}});
  struct Case {
    size_t at;
    u32 value;
  } cases[] = {{0, 0x5A5A5A5A}, {8, 0}, {8, 0xFFFFFFFFu},
               {8, CCompressedFile::kMaxBlockSize + 1},  // fuzzing: 3.7 GB asked for
               {18, 5000}, {18, 20}, {14, 10}, {4, 0xFFFFFFF0u}, {~size_t(0), 0}};
  for (const Case &k : cases) {
    Bytes c = good;
    if (k.at == ~size_t(0)) {
      c.resize(9);
    } else {
      PutU32LE(&c[k.at], k.value);
    }
    if (k.at == 4) PutU32LE(&c[8], 1);  // a table larger than the file
    auto f = Open(Put(c));
    EXPECT_EQ(f->valid, 0u) << k.at << "=" << k.value;
    EXPECT_NE(f->ConstructionError(), nullptr) << k.at;
    u8 b;
    EXPECT_NE(f->ReadAt(&b, 0, 1, nullptr), nullptr) << k.at;
  }
  std::unique_ptr<CHostFile> in(OpenNativeFile(Put(good), false, false)), out(OpenNativeFile(dir / "o", true, true));
  EXPECT_EQ(LzssCompressFile(in.get(), out.get(), 0xD4, 100), LERR_NOSUCHBITLENGTHS);
  EXPECT_EQ(LzssCompressFile(in.get(), out.get(), 0xC4, CCompressedFile::kMaxBlockSize + 1), ERR_BADPARAMS);
}

}  // namespace
