// The encoder's streams against a plain model of the greedy tree encoder:
// one node record per window position, byte-by-byte comparisons, no
// shortcuts. The production encoder is tuned for speed; whatever it does,
// it must emit these streams byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "archive/lzss.h"
#include "support/temp_dir.h"

namespace {

typedef std::vector<u8> Bytes;

const u8 kAllCodes[] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xB1, 0xB2, 0xB3,
                        0xB4, 0xB5, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5};

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

Bytes Production(const Bytes &in, u8 code, const Bytes *reference) {
  Bytes out(in.size() * 9 / 8 + 2);
  u32 length = static_cast<u32>(out.size());
  EXPECT_EQ(LzssEncode(in.data(), static_cast<u32>(in.size()), out.data(),
                       &length, code, reference ? reference->data() : nullptr),
            nullptr);
  out.resize(length);
  return out;
}

// Blocks that take every path of the encoder: random bytes (literals),
// words (matches at all distances), long runs of few values (full matches,
// distance-1 runs), periodic data (ties between equally long candidates)
// and all of them cut short so that the limits near the end matter.
std::vector<Bytes> Blocks(unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<Bytes> blocks;
  blocks.push_back(PatternBytes(6000, seed));
  Bytes words;
  static const char *const kWords[] = {"mov ", "eax, ", "0x10", "\n", "push ",
                                       "[ebp+8]", "call ", "ret\n", "aa"};
  while (words.size() < 12000) {
    const char *w = kWords[rng() % 9];
    words.insert(words.end(), w, w + strlen(w));
  }
  blocks.push_back(words);
  Bytes runs;
  while (runs.size() < 10000) {
    size_t run = 1 + rng() % (rng() % 2 ? 5 : 200);
    runs.insert(runs.end(), run, static_cast<u8>(rng() % 3));
  }
  blocks.push_back(runs);
  Bytes periodic(5000);
  u32 period = 1 + rng() % 40;
  for (size_t i = 0; i < periodic.size(); i++)
    periodic[i] = static_cast<u8>((i % period) * 7 + (rng() % 50 == 0));
  blocks.push_back(periodic);
  blocks.push_back(Bytes(3000, 0));
  for (u32 n = 1; n <= 40; n++) {
    Bytes b(n);
    for (u32 i = 0; i < n; i++) b[i] = static_cast<u8>(rng() % 2 ? 'a' : 'b');
    blocks.push_back(b);
  }
  return blocks;
}

// Mixed content: random stretches, copies from up to 5,000 bytes back and
// runs of few values, so that the ring wraps many times.
Bytes MixedBlock(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes block;
  while (block.size() < size) {
    switch (rng() % 3) {
      case 0: {
        Bytes r = PatternBytes(1 + rng() % 600, rng());
        block.insert(block.end(), r.begin(), r.end());
        break;
      }
      case 1: {
        size_t back = 1 + rng() % std::min<size_t>(block.size() + 1, 5000);
        size_t len = 1 + rng() % 300;
        for (size_t k = 0; k < len; k++)
          block.push_back(back <= block.size() ? block[block.size() - back]
                                               : static_cast<u8>(k));
        break;
      }
      default:
        block.insert(block.end(), 1 + rng() % 100, static_cast<u8>(rng() % 4));
    }
  }
  block.resize(size);
  return block;
}

}  // namespace

TEST(LzssReferenceEncoderTest, MatchesTheFormatExamples) {
  Bytes abc{'a', 'b', 'c'};
  EXPECT_EQ(ReferenceEncoder(abc, 0xC4, nullptr).Run(),
            (Bytes{0xB0, 0xD8, 0xAC, 0x60}));
  Bytes nine{'a', 'b', 'c', 'a', 'b', 'c', 'a', 'b', 'c'};
  EXPECT_EQ(ReferenceEncoder(nine, 0xA1, nullptr).Run(),
            (Bytes{0xB0, 0xD8, 0xAC, 0x6F, 0xF6, 0xFF, 0x60}));
  EXPECT_EQ(ReferenceEncoder(Bytes(32768, 0), 0xC4, nullptr).Run().size(),
            4099u);
}

TEST(LzssReferenceEncoderTest, EncoderGivesTheReferenceStreamUnderEveryCode) {
  for (unsigned seed = 1; seed <= 2; seed++) {
    std::vector<Bytes> blocks = Blocks(seed);
    for (u8 code : kAllCodes) {
      for (size_t i = 0; i < blocks.size(); i++) {
        ASSERT_EQ(Production(blocks[i], code, nullptr),
                  ReferenceEncoder(blocks[i], code, nullptr).Run())
            << std::hex << int(code) << std::dec << " seed " << seed
            << " block " << i;
      }
    }
  }
}

TEST(LzssReferenceEncoderTest, EncoderGivesTheReferenceStreamWithAReference) {
  std::mt19937 rng(77);
  for (u8 code : {0xA1, 0xB3, 0xC4, 0xC5}) {
    for (const Bytes &block : Blocks(code)) {
      Bytes prior = block;
      for (size_t k = 0; k < prior.size(); k += 1 + rng() % 40)
        prior[k] ^= static_cast<u8>(1 + rng() % 255);
      ASSERT_EQ(Production(block, code, &prior),
                ReferenceEncoder(block, code, &prior).Run())
          << std::hex << int(code) << std::dec << " size " << block.size();
    }
  }
}

TEST(LzssReferenceEncoderTest, EncoderGivesTheReferenceStreamOnFullBlocks) {
  Bytes block = MixedBlock(32768, 5);
  for (u8 code : {0xA1, 0xA5, 0xB2, 0xC4, 0xC5})
    ASSERT_EQ(Production(block, code, nullptr),
              ReferenceEncoder(block, code, nullptr).Run())
        << std::hex << int(code);
}

TEST(LzssReferenceEncoderTest, BlocksLargerThanTheUsualSizeGiveTheReferenceStream) {
  // The encoder orders the positions of a large block a part at a time; the
  // window must carry over from one part to the next.
  Bytes block = MixedBlock(80000, 9);
  Bytes prior = block;
  for (size_t k = 0; k < prior.size(); k += 1 + k % 97) prior[k] ^= 0x5A;
  for (u8 code : {0xA1, 0xC4}) {
    for (const Bytes *reference : {static_cast<const Bytes *>(nullptr),
                                   static_cast<const Bytes *>(&prior)}) {
      ASSERT_EQ(Production(block, code, reference),
                ReferenceEncoder(block, code, reference).Run())
          << std::hex << int(code) << (reference ? " with" : " without")
          << " a reference";
    }
  }
}
