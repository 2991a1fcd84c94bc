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

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
const bool kLittleEndian = true;
#else
const bool kLittleEndian = false;
#endif

// For a copy of n bytes (n <= 16) done as sixteen: which bytes of the two
// little-endian words come from the match.
struct KeepMasks {
  u64 m[17][2];
  KeepMasks() {
    for (u32 n = 0; n <= 16; n++) {
      m[n][0] = n >= 8 ? ~0ull : (1ull << (8 * n)) - 1;
      m[n][1] = n >= 16 ? ~0ull : n <= 8 ? 0 : (1ull << (8 * (n - 8))) - 1;
    }
  }
};
const KeepMasks kKeepMaskTable;
const u64 (&kKeepMask)[17][2] = kKeepMaskTable.m;

// Decodes the token at the top of v (at least 57 valid bits). False when
// the token would write outside the destination or copy from before it.
template <u32 W, u32 L>
inline bool DecodeToken(u64 v, u8 *dst, u32 capacity, u32 &o, size_t &b) {
  const u32 kWindow = 1u << W;
  if (v >> 63) {
    if (o >= capacity) return false;
    dst[o++] = static_cast<u8>(v >> 55);
    b += kLiteralBits;
    return true;
  }
  u32 x = static_cast<u32>(v >> (63 - W)) & (kWindow - 1);
  u32 n = (static_cast<u32>(v >> (63 - W - L)) & ((1u << L) - 1)) + 2;
  b += 1 + W + L;
  if (n > capacity - o) return false;
  if (x != 0) {
    u32 distance = kWindow - x;
    if (distance > o) return false;
    if (kLittleEndian && distance >= n && n <= 16 && capacity - o >= 16) {
      // Sixteen bytes are read and written back, the first n taken from the
      // match and the rest as they were: no branch on the length, and the
      // bytes after the match (which an unchanged run may keep) stay.
      u8 *op = dst + o;
      const u8 *mp = op - distance;
      u64 m0 = kKeepMask[n][0], m1 = kKeepMask[n][1];
      u64 a0, a1, b0, b1;
      memcpy(&a0, mp, 8);
      memcpy(&a1, mp + 8, 8);
      memcpy(&b0, op, 8);
      memcpy(&b1, op + 8, 8);
      a0 = (a0 & m0) | (b0 & ~m0);
      a1 = (a1 & m1) | (b1 & ~m1);
      memcpy(op, &a0, 8);
      memcpy(op + 8, &a1, 8);
    } else {
      CopyMatch(dst + o, distance, n);
    }
  }
  o += n;
  return true;
}

// One loop per code: the field widths are constants here.
template <u32 W, u32 L>
Error DecodeStream(const u8 *src, size_t srcLen, u8 *dst, u32 capacity,
                   u32 *lengthOut) {
  // Flags of four literals in a row at the top of a 64-bit window.
  const u64 kFourLiterals = (1ull << 63) | (1ull << 54) | (1ull << 45) |
                            (1ull << 36);
  size_t b = 0;  // bit position in the stream
  u32 o = 0;     // output position
  // While eight whole bytes remain at the loaded byte, every token decoded
  // from the load begins before the last byte, so the stop rule cannot end
  // the stream in here; it may hold after the last of them.
  const u32 kMatchBits = 1 + W + L;  // the longest token
  while ((b >> 3) + 8 <= srcLen) {
    // One load serves several tokens: at least 57 valid bits.
    u64 v = Load64BE(src + (b >> 3)) << (b & 7);
    u32 avail = 64 - static_cast<u32>(b & 7);
    do {
      if ((v & kFourLiterals) == kFourLiterals && avail >= 36 &&
          capacity - o >= 4) {
        u8 *op = dst + o;
        op[0] = static_cast<u8>(v >> 55);
        op[1] = static_cast<u8>(v >> 46);
        op[2] = static_cast<u8>(v >> 37);
        op[3] = static_cast<u8>(v >> 28);
        o += 4;
        b += 4 * kLiteralBits;
        v <<= 4 * kLiteralBits;
        avail -= 4 * kLiteralBits;
        continue;
      }
      size_t before = b;
      if (!DecodeToken<W, L>(v, dst, capacity, o, b)) return ERR_INVALIDFORMAT;
      u32 used = static_cast<u32>(b - before);
      v <<= used;
      avail -= used;
    } while (avail >= kMatchBits);
  }
  // The tail, with bytes past the end reading as zero. The stop rule holds
  // after every token, including the last one of the loop above; a stream
  // gets at least one token (a one-byte stream holds one).
  const size_t lastByte = srcLen - 1;
  if (b == 0 || (b >> 3) < lastByte) {
    do {
      u64 v = LoadTailBE(src, srcLen, b >> 3) << (b & 7);
      if (!DecodeToken<W, L>(v, dst, capacity, o, b))
        return ERR_INVALIDFORMAT;
    } while ((b >> 3) < lastByte);
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

// The part of a node a search reads, kept in one 64-bit word so the whole
// tree stays in the first-level cache: bits 0..31 the first four bytes at the
// node's position (big-endian, zero past the end), which decide most steps
// of a search without touching the source; bits 32..47 and 48..63 the left
// and right child (16-bit node numbers, kNone as 0xFFFF).
typedef u64 TreeNode;

inline u32 NodePrefix(TreeNode v) { return static_cast<u32>(v); }
inline i32 NodeChild(TreeNode v, u32 side) {
  return static_cast<i16>(static_cast<u16>(v >> (32 + 16 * side)));
}

// Bytes of tree per node: the searched part, the position and the parent.
// One more searched word stands before node 0 for kNone: a search loads the
// children of a node before it knows whether they exist.
const u32 kNodeBytes = sizeof(TreeNode) + sizeof(u32) + sizeof(i16);

class Encoder {
 public:
  Encoder(const u8 *src, u32 n, u8 *dst, u32 capacity, u32 w, u32 l,
          void *tree)
      : mSrc(src), mN(n), mDst(dst), mCapacity(capacity), mW(w), mL(l),
        mNodeCount((1u << w) - 1) {
    mNodes = static_cast<TreeNode *>(tree) + 1;
    mPosition = reinterpret_cast<u32 *>(mNodes + mNodeCount);
    mParent = reinterpret_cast<i16 *>(mPosition + mNodeCount);
  }

  Error Run(const u8 *reference, u32 *lengthOut);

 private:
  u32 MatchLength(u32 q, u32 s, u32 limit) const;
  u32 Prefix(u32 q) const;
  void SetPosition(i32 c, u32 q) {
    mPosition[c] = q;
    mNodes[c] = (mNodes[c] & ~0xFFFFFFFFull) | Prefix(q);
  }
  i32 Child(i32 node, u32 side) const { return NodeChild(mNodes[node], side); }
  void SetChild(i32 node, u32 side, i32 c) {
    u32 shift = 32 + 16 * side;
    mNodes[node] = (mNodes[node] & ~(0xFFFFull << shift)) |
                   (static_cast<u64>(static_cast<u16>(c)) << shift);
  }
  void SetParent(i32 node, i32 p) { mParent[node] = static_cast<i16>(p); }
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
  u32 mNodeCount;
  TreeNode *mNodes;
  u32 *mPosition;
  i16 *mParent;
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

u32 Encoder::Prefix(u32 q) const {
  u32 v = 0;
  for (u32 k = 0; k < 4; k++) v = (v << 8) | (q + k < mN ? mSrc[q + k] : 0);
  return v;
}

// Leading bytes in which the source agrees at q and at s (s < q), at most
// `limit`. Bytes past the end of the source never agree with anything.
inline u32 Encoder::MatchLength(u32 q, u32 s, u32 limit) const {
  u32 m = mN - q;
  if (m > limit) m = limit;
  const u8 *a = mSrc + q;
  const u8 *b = mSrc + s;
  u32 j = 0;
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  // Little-endian: the lowest differing bit names the first differing byte.
  while (j + 8 <= m) {
    u64 x, y;
    memcpy(&x, a + j, 8);
    memcpy(&y, b + j, 8);
    u64 d = x ^ y;
    if (d) return j + static_cast<u32>(__builtin_ctzll(d) >> 3);
    j += 8;
  }
#endif
  while (j < m && a[j] == b[j]) j++;
  return j;
}

// Walks down from `from`. A node agreeing over all t bytes ends the walk as
// a full match (left candidate, side unchanged); otherwise the walk ends
// below the last node, on the side where the next byte of q sorts. A byte
// past the end of the source sorts above every byte value.
void Encoder::Search(u32 q, u32 t, i32 from) {
  // The last node passed on each side and its agreeing length, indexed by
  // side: stores instead of branches, as the direction is a coin toss.
  i32 candNode[2] = {kNone, kNone};
  u32 candLen[2] = {0, 0};
  u32 m = mN - q < t ? mN - q : t;  // bytes of q that can agree
  u32 qPrefix = Prefix(q);
  i32 node = from;
  TreeNode nd = mNodes[node];
  u32 side;
  for (;;) {
    // Both children are fetched while the direction is worked out, and the
    // one needed is then picked by a select: the loads of one level overlap
    // the comparison instead of waiting for it.
    TreeNode kidLeft = mNodes[NodeChild(nd, kLeft)];
    TreeNode kidRight = mNodes[NodeChild(nd, kRight)];
    u32 prefix = NodePrefix(nd);
    u32 d = qPrefix ^ prefix;
    u32 j;
    // A difference among the first four bytes, within the bytes that can
    // agree, decides both the length and the direction at once.
    u32 first = static_cast<u32>(__builtin_clz(d | 1) >> 3);
    if ((d != 0) & (first < m)) {
      j = first;
      side = qPrefix > prefix;  // kLeft is 0
    } else {
      u32 s = mPosition[node];
      j = MatchLength(q, s, t);
      if (j == t) {
        mLeftPos = s;
        mLeftLen = t;
        mRightPos = candNode[kRight] == kNone ? 0 : mPosition[candNode[kRight]];
        mRightLen = candLen[kRight];
        mEndNode = node;
        return;
      }
      // q + j <= n here; at n the byte is past the end and sorts above.
      u32 qByte = q + j < mN ? mSrc[q + j] : 0x100u;
      side = qByte >= mSrc[s + j];
    }
    candNode[side] = node;
    candLen[side] = j;
    i32 next = NodeChild(nd, side);
    if (next == kNone) break;
    nd = side ? kidRight : kidLeft;
    node = next;
  }
  mLeftPos = candNode[kLeft] == kNone ? 0 : mPosition[candNode[kLeft]];
  mLeftLen = candLen[kLeft];
  mRightPos = candNode[kRight] == kNone ? 0 : mPosition[candNode[kRight]];
  mRightLen = candLen[kRight];
  mEndNode = node;
  mSide = static_cast<Side>(side);
}

// Puts `with` (or nothing) where `old` hangs: in old's parent, or the root.
void Encoder::Replace(i32 old, i32 with) {
  i32 p = mParent[old];
  if (p == kNone) {
    mRoot = with;
  } else if (Child(p, kLeft) == old) {
    SetChild(p, kLeft, with);
  } else {
    SetChild(p, kRight, with);
  }
  if (with != kNone) SetParent(with, p);
}

void Encoder::Unlink(i32 c) {
  i32 left = Child(c, kLeft), right = Child(c, kRight);
  if (left != kNone && right != kNone) {
    i32 d = left;
    while (Child(d, kRight) != kNone) d = Child(d, kRight);
    Replace(d, Child(d, kLeft));
    // c's children are read again: d may have been c's left child.
    left = Child(c, kLeft);
    SetChild(d, kLeft, left);
    SetChild(d, kRight, right);
    if (left != kNone) SetParent(left, d);
    SetParent(right, d);
    Replace(c, d);
  } else {
    Replace(c, left != kNone ? left : right);
  }
  SetParent(c, kNone);
  SetChild(c, kLeft, kNone);
  SetChild(c, kRight, kNone);
}

// Adds position q with match limit t; u is the length already found for q
// (u >= t: the end node matches q in full and q takes its place).
void Encoder::Insert(u32 q, u32 t, u32 u) {
  i32 c = static_cast<i32>(mCursor);
  if (++mCursor == mNodeCount) mCursor = 0;
  if (c == mEndNode) {
    SetPosition(c, q);
    return;
  }
  if (mParent[c] != kNone || mRoot == c) Unlink(c);
  SetPosition(c, q);
  i32 end = mEndNode;
  if (u < t) {
    i32 below = Child(end, mSide);
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
        i32 taken = Child(end, mSide);
        if (taken != kNone) SetParent(taken, kNone);
      }
    }
    SetParent(c, end);
    SetChild(c, kLeft, kNone);
    SetChild(c, kRight, kNone);
    SetChild(end, mSide, c);
  } else {
    i32 left = Child(end, kLeft), right = Child(end, kRight);
    SetChild(c, kLeft, left);
    SetChild(c, kRight, right);
    if (left != kNone) SetParent(left, c);
    if (right != kNone) SetParent(right, c);
    Replace(end, c);
    SetParent(end, kNone);
    SetChild(end, kLeft, kNone);
    SetChild(end, kRight, kNone);
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
  mNodes[kNone] = ~0ull << 32;
  for (u32 k = 0; k < mNodeCount; k++) {
    mNodes[k] = ~0ull << 32;  // no children
    mPosition[k] = 0;
    mParent[k] = kNone;
  }
  if (!Emit(0x100u | mSrc[0], kLiteralBits)) return ERR_BUFFERTOOSMALL;
  mRoot = 0;
  SetPosition(0, 0);
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
  void *tree = gPtrPool->Allocate(nodeCount * kNodeBytes + sizeof(TreeNode));
  if (!tree) return FERR_NOTENOUGHMEM;
  Encoder enc(static_cast<const u8 *>(source), sourceLength,
              static_cast<u8 *>(destination), capacity, OffsetBits(code),
              LengthBits(code), tree);
  u32 length = 0;
  Error e = enc.Run(static_cast<const u8 *>(reference), &length);
  gPtrPool->Free(tree);
  if (!e) *lengthInOut = length;
  return e;
}
