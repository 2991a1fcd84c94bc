// The encoder's streams against a plain model of the greedy tree encoder:
// one node record per window position, byte-by-byte comparisons, no
// shortcuts. The production encoder is tuned for speed; whatever it does,
// it must emit these streams byte for byte (the order behind its key
// classes included: a wrong order gives other matches).
#include <gtest/gtest.h>

#include "lzss_test_support.h"

namespace {

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

// Blocks that take every path of the encoder: random bytes (literals),
// words (matches at all distances), runs of few values (full matches,
// distance-1 runs), periodic data (ties between equally long candidates),
// copies from up to 5,000 bytes back (the ring wraps), and short blocks,
// where the limits near the end matter.
std::vector<Bytes> Blocks(unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<Bytes> blocks = {PatternBytes(6000, seed), TextLike(12000, seed), Repetitive(8000, seed)};
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
        ASSERT_EQ(Encode(block, code, reference), ReferenceEncoder(block, code, reference).Run())
            << int(code) << " size " << block.size() << (reference ? " with a reference" : "");
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

}  // namespace
