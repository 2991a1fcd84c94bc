#include "archive/lzss.h"

#include <cstring>

#include "core/ptr_pool.h"

namespace {

// ---------------------------------------------------------------------------
// Code byte

const u32 kMinOffsetBits = 10;
const u32 kMaxOffsetBits = 12;
const u32 kMinLengthBits = 1;
const u32 kMaxLengthBits = 5;
const u32 kLiteralBits = 9;  // flag bit + byte

inline u32 OffsetBits(u8 code) { return code >> 4; }
inline u32 LengthBits(u8 code) { return code & 0x0F; }

// ---------------------------------------------------------------------------
// Decoder

inline u64 Load64BE(const u8 *p) {
  u64 v;
  memcpy(&v, p, 8);
#if defined(__GNUC__)
  return __builtin_bswap64(v);
#else
  u64 r = 0;
  for (int i = 0; i < 8; i++) r = (r << 8) | p[i];
  return r;
#endif
}

// The 64 bits from byte i on when fewer than 8 bytes are left: bytes past
// the end of the stream read as zero.
inline u64 LoadTailBE(const u8 *src, size_t srcLen, size_t i) {
  u64 v = 0;
  for (int k = 0; k < 8; k++) {
    v <<= 8;
    if (i + k < srcLen) v |= src[i + k];
  }
  return v;
}

// Copies n bytes from `distance` back, with the format's byte-at-a-time
// meaning, writing exactly [op, op + n). The caller has checked the range.
inline void CopyMatch(u8 *op, u32 distance, u32 n) {
  const u8 *mp = op - distance;
  if (distance >= 8) {
    // Each 8-byte step reads only bytes already final, so the overlapping
    // case repeats correctly as well.
    if (n <= 8) {
      if (n >= 4) {
        u32 a, b;
        memcpy(&a, mp, 4);
        memcpy(&b, mp + n - 4, 4);
        memcpy(op, &a, 4);
        memcpy(op + n - 4, &b, 4);
      } else {
        u16 a, b;
        memcpy(&a, mp, 2);
        memcpy(&b, mp + n - 2, 2);
        memcpy(op, &a, 2);
        memcpy(op + n - 2, &b, 2);
      }
      return;
    }
    u32 k = 0;
    for (; k + 8 <= n; k += 8) {
      u64 v;
      memcpy(&v, mp + k, 8);
      memcpy(op + k, &v, 8);
    }
    if (k < n) {
      u64 v;
      memcpy(&v, mp + n - 8, 8);
      memcpy(op + n - 8, &v, 8);
    }
    return;
  }
  if (distance >= n) {
    // Short match without overlap: two loads before any store.
    if (n >= 4) {
      u32 a, b;
      memcpy(&a, mp, 4);
      memcpy(&b, mp + n - 4, 4);
      memcpy(op, &a, 4);
      memcpy(op + n - 4, &b, 4);
    } else {
      u16 a, b;
      memcpy(&a, mp, 2);
      memcpy(&b, mp + n - 2, 2);
      memcpy(op, &a, 2);
      memcpy(op + n - 2, &b, 2);
    }
    return;
  }
  if (distance == 1) {
    memset(op, *mp, n);
    return;
  }
  for (u32 k = 0; k < n; k++) op[k] = mp[k];
}

// One loop per code: the field widths are constants here.
template <u32 W, u32 L>
Error DecodeStream(const u8 *src, size_t srcLen, u8 *dst, u32 capacity,
                   u32 *lengthOut) {
  const u32 kWindow = 1u << W;
  const u32 kMatchBits = 1 + W + L;
  size_t b = 0;  // bit position in the stream
  u32 o = 0;     // output position
  const size_t lastByte = srcLen - 1;
  for (;;) {
    size_t i = b >> 3;
    u64 v = (i + 8 <= srcLen) ? Load64BE(src + i) : LoadTailBE(src, srcLen, i);
    v <<= (b & 7);
    if (v >> 63) {
      if (o >= capacity) return ERR_INVALIDFORMAT;
      dst[o++] = static_cast<u8>(v >> 55);
      b += kLiteralBits;
    } else {
      u32 x = static_cast<u32>(v >> (63 - W)) & (kWindow - 1);
      u32 n = (static_cast<u32>(v >> (63 - W - L)) & ((1u << L) - 1)) + 2;
      b += kMatchBits;
      if (n > capacity - o) return ERR_INVALIDFORMAT;
      if (x != 0) {
        u32 distance = kWindow - x;
        if (distance > o) return ERR_INVALIDFORMAT;
        CopyMatch(dst + o, distance, n);
      }
      o += n;
    }
    // The next token would start in the last byte or beyond: done.
    if ((b >> 3) >= lastByte) break;
  }
  *lengthOut = o;
  return nullptr;
}

typedef Error (*DecodeFn)(const u8 *, size_t, u8 *, u32, u32 *);

template <u32 W>
DecodeFn DecoderForLength(u32 l) {
  switch (l) {
    case 1: return DecodeStream<W, 1>;
    case 2: return DecodeStream<W, 2>;
    case 3: return DecodeStream<W, 3>;
    case 4: return DecodeStream<W, 4>;
    case 5: return DecodeStream<W, 5>;
  }
  return nullptr;
}

DecodeFn DecoderFor(u8 code) {
  if (!LzssCodeIsValid(code)) return nullptr;
  switch (OffsetBits(code)) {
    case 10: return DecoderForLength<10>(LengthBits(code));
    case 11: return DecoderForLength<11>(LengthBits(code));
    case 12: return DecoderForLength<12>(LengthBits(code));
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Encoder
//
// Greedy parse. The candidates for a match live in a binary search tree of
// the last 2^W - 1 positions, ordered by the bytes that follow each position
// (compared over at most the current match limit). Node k always holds a
// position congruent to k modulo 2^W - 1, so the node about to be reused
// holds the position that is just leaving the window.

const i32 kNone = -1;
enum Side { kLeft = 0, kRight = 1 };

struct TreeNode {
  i32 parent;
  i32 child[2];  // kLeft, kRight
  u32 position;
};

class Encoder {
 public:
  Encoder(const u8 *src, u32 n, u8 *dst, u32 capacity, u32 w, u32 l,
          TreeNode *nodes)
      : mSrc(src), mN(n), mDst(dst), mCapacity(capacity), mW(w), mL(l),
        mNodes(nodes), mNodeCount((1u << w) - 1) {}

  Error Run(const u8 *reference, u32 *lengthOut);

 private:
  u32 MatchLength(u32 q, u32 s, u32 limit) const;
  void Search(u32 q, u32 t, i32 from);
  void Insert(u32 q, u32 t, u32 u);
  void Unlink(i32 c);
  void Replace(i32 old, i32 with);
  bool Emit(u32 bits, u32 count);

  const u8 *mSrc;
  u32 mN;
  u8 *mDst;
  u32 mCapacity;
  u32 mW, mL;
  TreeNode *mNodes;
  u32 mNodeCount;
  i32 mRoot = kNone;
  u32 mCursor = 0;
  // Result of the last search.
  u32 mLeftPos = 0, mLeftLen = 0, mRightPos = 0, mRightLen = 0;
  i32 mEndNode = kNone;
  Side mSide = kLeft;
  // Bit writer.
  u64 mBitPos = 0;
  u64 mAcc = 0;  // pending bits, right-aligned
  u32 mAccBits = 0;
};

// Leading bytes in which the source agrees at q and at s (s < q), at most
// `limit`. Bytes past the end of the source never agree with anything.
u32 Encoder::MatchLength(u32 q, u32 s, u32 limit) const {
  u32 m = mN - q;
  if (m > limit) m = limit;
  const u8 *a = mSrc + q;
  const u8 *b = mSrc + s;
  u32 j = 0;
  while (j + 8 <= m) {
    u64 x, y;
    memcpy(&x, a + j, 8);
    memcpy(&y, b + j, 8);
    u64 d = x ^ y;
    if (d) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
      return j + static_cast<u32>(__builtin_ctzll(d) >> 3);
#else
      break;
#endif
    }
    j += 8;
  }
  while (j < m && a[j] == b[j]) j++;
  return j;
}

// Walks down from `from`. A node agreeing over all t bytes ends the walk as
// a full match (left candidate, side unchanged); otherwise the walk ends
// below the last node, on the side where the next byte of q sorts. A byte
// past the end of the source sorts above every byte value.
void Encoder::Search(u32 q, u32 t, i32 from) {
  mLeftPos = mRightPos = 0;
  mLeftLen = mRightLen = 0;
  i32 node = from;
  for (;;) {
    u32 s = mNodes[node].position;
    u32 j = MatchLength(q, s, t);
    if (j == t) {
      mLeftPos = s;
      mLeftLen = t;
      mEndNode = node;
      return;
    }
    Side side;
    if (q + j < mN && mSrc[q + j] < mSrc[s + j]) {
      mLeftPos = s;
      mLeftLen = j;
      side = kLeft;
    } else {
      mRightPos = s;
      mRightLen = j;
      side = kRight;
    }
    i32 next = mNodes[node].child[side];
    if (next == kNone) {
      mEndNode = node;
      mSide = side;
      return;
    }
    node = next;
  }
}

// Puts `with` (or nothing) where `old` hangs: in old's parent, or the root.
void Encoder::Replace(i32 old, i32 with) {
  i32 p = mNodes[old].parent;
  if (p == kNone) {
    mRoot = with;
  } else if (mNodes[p].child[kLeft] == old) {
    mNodes[p].child[kLeft] = with;
  } else {
    mNodes[p].child[kRight] = with;
  }
  if (with != kNone) mNodes[with].parent = p;
}

void Encoder::Unlink(i32 c) {
  TreeNode &n = mNodes[c];
  if (n.child[kLeft] != kNone && n.child[kRight] != kNone) {
    i32 d = n.child[kLeft];
    while (mNodes[d].child[kRight] != kNone) d = mNodes[d].child[kRight];
    Replace(d, mNodes[d].child[kLeft]);
    // c's children are read only now: d may have been c's left child.
    mNodes[d].child[kLeft] = n.child[kLeft];
    mNodes[d].child[kRight] = n.child[kRight];
    if (n.child[kLeft] != kNone) mNodes[n.child[kLeft]].parent = d;
    mNodes[n.child[kRight]].parent = d;
    Replace(c, d);
  } else {
    Replace(c, n.child[kLeft] != kNone ? n.child[kLeft] : n.child[kRight]);
  }
  n.parent = n.child[kLeft] = n.child[kRight] = kNone;
}

// Adds position q with match limit t; u is the length already found for q
// (u >= t: the end node matches q in full and q takes its place).
void Encoder::Insert(u32 q, u32 t, u32 u) {
  i32 c = static_cast<i32>(mCursor);
  if (++mCursor == mNodeCount) mCursor = 0;
  TreeNode &node = mNodes[c];
  if (c == mEndNode) {
    node.position = q;
    return;
  }
  if (node.parent != kNone || mRoot == c) Unlink(c);
  node.position = q;
  i32 end = mEndNode;
  if (u < t) {
    i32 below = mNodes[end].child[mSide];
    if (below != kNone) {
      // The unlinking moved a subtree under the end node: find q's place
      // in it.
      Search(q, t, below);
      end = mEndNode;
      if (mLeftLen == t) {
        // A full match ends the search without a free side. The slot on the
        // side recorded earlier is used when it is free; when it is taken,
        // the subtree hanging there leaves the tree, so that what stays in
        // the tree remains one well-formed tree.
        i32 taken = mNodes[end].child[mSide];
        if (taken != kNone) mNodes[taken].parent = kNone;
      }
    }
    node.parent = end;
    node.child[kLeft] = node.child[kRight] = kNone;
    mNodes[end].child[mSide] = c;
  } else {
    TreeNode &e = mNodes[end];
    node.child[kLeft] = e.child[kLeft];
    node.child[kRight] = e.child[kRight];
    if (e.child[kLeft] != kNone) mNodes[e.child[kLeft]].parent = c;
    if (e.child[kRight] != kNone) mNodes[e.child[kRight]].parent = c;
    Replace(end, c);
    e.parent = e.child[kLeft] = e.child[kRight] = kNone;
  }
}

// Appends `count` bits (most significant first); false when the stream
// would need a byte at or past the capacity.
bool Encoder::Emit(u32 bits, u32 count) {
  if (((mBitPos + count + 7) >> 3) > mCapacity) return false;
  mBitPos += count;
  mAcc = (mAcc << count) | bits;
  mAccBits += count;
  u64 byteIndex = (mBitPos - mAccBits) >> 3;
  while (mAccBits >= 8) {
    mAccBits -= 8;
    mDst[byteIndex++] = static_cast<u8>(mAcc >> mAccBits);
  }
  return true;
}

Error Encoder::Run(const u8 *reference, u32 *lengthOut) {
  const u32 maxLen = (1u << mL) + 1;
  const u32 window = 1u << mW;
  for (u32 k = 0; k < mNodeCount; k++) {
    mNodes[k].parent = mNodes[k].child[kLeft] = mNodes[k].child[kRight] =
        kNone;
    mNodes[k].position = 0;
  }
  if (!Emit(0x100u | mSrc[0], kLiteralBits)) return ERR_BUFFERTOOSMALL;
  mRoot = 0;
  mNodes[0].position = 0;
  mCursor = 1 % mNodeCount;
  u32 p = 1;
  while (p < mN) {
    u32 t = mN - p < maxLen ? mN - p : maxLen;
    Search(p, t, mRoot);
    u32 matchPos, matchLen;
    if (mLeftLen > mRightLen) {
      matchPos = mLeftPos;
      matchLen = mLeftLen;
    } else {
      matchPos = mRightPos;
      matchLen = mRightLen;
    }
    bool unchanged = false;
    if (reference) {
      u32 j = 0;
      while (j < t && mSrc[p + j] == static_cast<const u8 *>(reference)[p + j])
        j++;
      if (j > matchLen) {
        matchLen = j;
        unchanged = true;
      }
    }
    u32 covered;
    bool ok;
    if (matchLen < 2) {
      ok = Emit(0x100u | mSrc[p], kLiteralBits);
      covered = 1;
    } else {
      u32 x = unchanged ? 0 : window - (p - matchPos);
      ok = Emit((x << mL) | (matchLen - 2), 1 + mW + mL);
      covered = matchLen;
    }
    if (!ok) return ERR_BUFFERTOOSMALL;
    Insert(p, t, covered == 1 ? 1 : matchLen);
    for (u32 q = p + 1; q < p + covered; q++) {
      // The limit of the position before: one byte past the end may take
      // part in the comparison here.
      u32 tPrev = mN - q + 1 < maxLen ? mN - q + 1 : maxLen;
      Search(q, tPrev, mRoot);
      u32 u = mLeftLen;
      Insert(q, mN - q < maxLen ? mN - q : maxLen, u);
    }
    p += covered;
  }
  if (mAccBits > 0) {
    u64 byteIndex = (mBitPos - mAccBits) >> 3;
    mDst[byteIndex] = static_cast<u8>(mAcc << (8 - mAccBits));
  }
  *lengthOut = static_cast<u32>((mBitPos + 7) >> 3);
  return nullptr;
}

}  // namespace

bool LzssCodeIsValid(u8 code) {
  u32 w = OffsetBits(code), l = LengthBits(code);
  return w >= kMinOffsetBits && w <= kMaxOffsetBits && l >= kMinLengthBits &&
         l <= kMaxLengthBits;
}

Error LzssDecode(const void *source, u32 sourceLength, void *destination,
                 u32 *lengthInOut, u8 code) {
  if (sourceLength == 0) {
    *lengthInOut = 0;
    return nullptr;
  }
  DecodeFn fn = DecoderFor(code);
  if (!fn) return LERR_NOSUCHBITLENGTHS;
  return fn(static_cast<const u8 *>(source), sourceLength,
            static_cast<u8 *>(destination), *lengthInOut, lengthInOut);
}

Error LzssEncode(const void *source, u32 sourceLength, void *destination,
                 u32 *lengthInOut, u8 code, const void *reference) {
  if (!LzssCodeIsValid(code)) return LERR_NOSUCHBITLENGTHS;
  u32 capacity = *lengthInOut;
  if (capacity) memset(destination, 0, capacity);
  if (sourceLength == 0) {
    *lengthInOut = 0;
    return nullptr;
  }
  u32 nodeCount = (1u << OffsetBits(code)) - 1;
  TreeNode *nodes = static_cast<TreeNode *>(
      gPtrPool->Allocate(static_cast<u32>(nodeCount * sizeof(TreeNode))));
  if (!nodes) return FERR_NOTENOUGHMEM;
  Encoder enc(static_cast<const u8 *>(source), sourceLength,
              static_cast<u8 *>(destination), capacity, OffsetBits(code),
              LengthBits(code), nodes);
  u32 length = 0;
  Error e = enc.Run(static_cast<const u8 *>(reference), &length);
  gPtrPool->Free(nodes);
  if (!e) *lengthInOut = length;
  return e;
}
