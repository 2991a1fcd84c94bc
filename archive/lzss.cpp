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

// 2 to 8 bytes from mp to op with two loads before any store (the two halves
// may overlap each other, the source and the destination must not).
inline void CopyTwoToEight(u8 *op, const u8 *mp, u32 n) {
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
}

// Copies n bytes from `distance` back, with the format's byte-at-a-time
// meaning, writing exactly [op, op + n). The caller has checked the range.
inline void CopyMatch(u8 *op, u32 distance, u32 n) {
  const u8 *mp = op - distance;
  if (distance >= 8) {
    // Each 8-byte step reads only bytes already final, so the overlapping
    // case repeats correctly as well.
    if (n <= 8) {
      CopyTwoToEight(op, mp, n);
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
    CopyTwoToEight(op, mp, n);
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

// Copies a match of n bytes from `distance` back when the destination has
// at least 16 bytes of room at op.
inline void CopyMatchWithRoom(u8 *op, u32 distance, u32 n) {
  if (kLittleEndian && distance >= n && n <= 16) {
    // Sixteen bytes are read and written back, the first n taken from the
    // match and the rest as they were: no branch on the length, and the
    // bytes after the match (which an unchanged run may keep) stay.
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
    CopyMatch(op, distance, n);
  }
}

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
    if (capacity - o >= 16)
      CopyMatchWithRoom(dst + o, distance, n);
    else
      CopyMatch(dst + o, distance, n);
  }
  o += n;
  return true;
}

// One loop per code: the field widths are constants here.
template <u32 W, u32 L>
Error DecodeStream(const u8 *src, size_t srcLen, u8 *dst, u32 capacity,
                   u32 *lengthOut) {
  const u32 kWindow = 1u << W;
  const u32 kMatchBits = 1 + W + L;  // the longest token
  const u32 kMaxLength = (1u << L) + 1;
  // A load at the token's byte holds at least 57 valid bits, so this many
  // tokens whole; with eight bytes left at the loaded byte they all begin
  // before the stream's last byte, so the stop rule cannot end the stream
  // among them (it may hold after the last).
  const u32 kPerLoad = 57 / kMatchBits;
  // Output room in which the tokens of one load need no checks: all of
  // them maximal matches, the last written as sixteen bytes.
  const u32 kRoom = kPerLoad * kMaxLength + 16;
  // Flags of six literals in a row at the top of a 64-bit window.
  const u64 kSixLiterals = (1ull << 63) | (1ull << 54) | (1ull << 45) |
                           (1ull << 36) | (1ull << 27) | (1ull << 18);
  size_t b = 0;  // bit position in the stream
  u32 o = 0;     // output position
  while ((b >> 3) + 8 <= srcLen) {
    u64 v = Load64BE(src + (b >> 3)) << (b & 7);
    if (o >= kWindow - 1 && capacity - o >= kRoom) {
      // Far enough from both ends of the destination that no token of this
      // load can copy from before it or write past it: one test for all.
      if ((v & kSixLiterals) == kSixLiterals) {
        // Six literals in a row (data that does not compress): 54 bits.
        u8 *op = dst + o;
        u32 first = (static_cast<u32>(v >> 55) & 0xFF) |
                    (static_cast<u32>(v >> 38) & 0xFF00) |
                    (static_cast<u32>(v >> 21) & 0xFF0000) |
                    (static_cast<u32>(v >> 4) & 0xFF000000u);
        u16 last = static_cast<u16>((static_cast<u32>(v >> 19) & 0xFF) |
                                    (static_cast<u32>(v >> 2) & 0xFF00));
        if (kLittleEndian) {
          memcpy(op, &first, 4);
          memcpy(op + 4, &last, 2);
        } else {
          for (u32 k = 0; k < 4; k++) op[k] = static_cast<u8>(first >> (8 * k));
          op[4] = static_cast<u8>(last);
          op[5] = static_cast<u8>(last >> 8);
        }
        o += 6;
        b += 6 * kLiteralBits;
        continue;
      }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC unroll 8
#endif
      for (u32 k = 0; k < kPerLoad; k++) {
        if (v >> 63) {
          dst[o++] = static_cast<u8>(v >> 55);
          v <<= kLiteralBits;
          b += kLiteralBits;
        } else {
          u32 x = static_cast<u32>(v >> (63 - W)) & (kWindow - 1);
          u32 n = (static_cast<u32>(v >> (63 - W - L)) & ((1u << L) - 1)) + 2;
          if (x != 0) CopyMatchWithRoom(dst + o, kWindow - x, n);
          o += n;
          v <<= kMatchBits;
          b += kMatchBits;
        }
      }
    } else {
      for (u32 k = 0; k < kPerLoad; k++) {
        size_t before = b;
        if (!DecodeToken<W, L>(v, dst, capacity, o, b))
          return ERR_INVALIDFORMAT;
        v <<= b - before;
      }
    }
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

// A node is kept in separate arrays, so that what a walk reads stays in
// the first-level cache: its key (the first eight bytes at its position as
// one big-endian number, zero past the end), which decides most steps
// without touching the source, and its two children; its position and
// parent are read less often.
const u32 kNodeBytes = sizeof(u64) + sizeof(u32) + 2 * sizeof(i16) +
                       sizeof(i16);

// a > b ? ifGreater : otherwise, by a conditional move: in the tree walk
// the direction is a coin toss, and compilers tend to turn a conditional
// into a branch that mispredicts half the time.
inline i32 PickGreater(u64 a, u64 b, i32 ifGreater, i32 otherwise) {
#if defined(__GNUC__) && defined(__x86_64__)
  __asm__("cmpq %2, %1\n\tcmova %3, %0"
          : "+r"(otherwise)
          : "r"(a), "r"(b), "r"(ifGreater)
          : "cc");
  return otherwise;
#else
  return a > b ? ifGreater : otherwise;
#endif
}

class Encoder {
 public:
  Encoder(const u8 *src, u32 n, u8 *dst, u32 capacity, u32 w, u32 l,
          void *tree)
      : mSrc(src), mN(n), mDst(dst), mCapacity(capacity), mW(w), mL(l),
        mNodeCount((1u << w) - 1) {
    mKey = static_cast<u64 *>(tree);
    mPosition = reinterpret_cast<u32 *>(mKey + mNodeCount);
    mChild = reinterpret_cast<i16 *>(mPosition + mNodeCount);
    // One spare slot before the first parent, for kNone.
    mParent = mChild + 2 * mNodeCount + 1;
  }

  Error Run(const u8 *reference, u32 *lengthOut);

 private:
  u32 MatchLength(u32 q, u32 s, u32 limit) const;
  u64 Key(u32 q) const;
  void SetPosition(i32 c, u32 q) {
    mPosition[c] = q;
    mKey[c] = Key(q);
  }
  i32 Child(i32 node, u32 side) const { return mChild[2 * node + side]; }
  void SetChild(i32 node, u32 side, i32 c) {
    mChild[2 * node + side] = static_cast<i16>(c);
  }
  void SetParent(i32 node, i32 p) { mParent[node] = static_cast<i16>(p); }
  // A walk down the tree for position q (see Search).
  struct Walk {
    u32 q;
    u64 qKey;
    u64 mask;  // the key bytes that can agree
    i32 node;     // the node being compared; in the end the end node
    i32 last[2];  // the last node passed on each side
    u32 right;    // the side taken at `node`
    bool full;    // `node` agrees over all t bytes
    bool done;
  };
  void Begin(Walk &w, u32 q, u32 t, i32 from) const;
  void Step(Walk &w, u32 t) const;
  void Finish(const Walk &w, u32 t);
  void Find(u32 q, u32 t);
  bool FindEnd(u32 q, u32 t);
  void Search(u32 q, u32 t, i32 from);
  void CandidateFor(const Walk &w, u32 t, i32 node, u32 *pos, u32 *len) const;
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
  u64 *mKey;
  u32 *mPosition;
  i16 *mChild;  // left and right of each node
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

u64 Encoder::Key(u32 q) const {
  if (q + 8 <= mN) return Load64BE(mSrc + q);
  u64 v = 0;
  for (u32 k = 0; k < 8; k++) v = (v << 8) | (q + k < mN ? mSrc[q + k] : 0);
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
// past the end of the source sorts above every byte value. The candidates
// are the last node passed on each side, with their agreeing lengths.
void Encoder::Search(u32 q, u32 t, i32 from) {
  Walk w;
  Begin(w, q, t, from);
  do Step(w, t); while (!w.done);
  Finish(w, t);
}

// Keys that differ within the bytes of q that can agree decide a step by
// themselves: the walk needs no lengths, and those of the two candidates
// are worked out once at the end.
inline void Encoder::Begin(Walk &w, u32 q, u32 t, i32 from) const {
  u32 m = mN - q < t ? mN - q : t;  // bytes of q that can agree
  w.q = q;
  w.qKey = Key(q);
  w.mask = m >= 8 ? ~0ull : ~(~0ull >> (8 * m));
  w.node = from;
  w.last[kLeft] = w.last[kRight] = kNone;
  w.right = 0;
  w.full = w.done = false;
}

inline void Encoder::Step(Walk &w, u32 t) const {
  u64 key = mKey[w.node];
  const i16 *kids = mChild + 2 * w.node;
  i32 next;
  // Within the bytes that can agree, the first difference decides the
  // whole comparison; the bytes past them do not matter.
  if (__builtin_expect(((w.qKey ^ key) & w.mask) != 0, 1)) {
    w.right = w.qKey > key;
    next = PickGreater(w.qKey, key, kids[kRight], kids[kLeft]);
  } else {
    u32 s = mPosition[w.node];
    u32 j = MatchLength(w.q, s, t);
    if (j == t) {
      w.full = w.done = true;
      return;
    }
    // q + j <= n here; at n the byte is past the end and sorts above.
    u32 qByte = w.q + j < mN ? mSrc[w.q + j] : 0x100u;
    w.right = qByte >= mSrc[s + j];
    next = kids[w.right];
  }
  w.last[w.right] = w.node;
  if (next == kNone)
    w.done = true;
  else
    w.node = next;
}

// The walk's result as the search's: a full match is the left candidate and
// leaves the side as it was.
void Encoder::Finish(const Walk &w, u32 t) {
  mEndNode = w.node;
  if (w.full) {
    // The right candidate agrees over fewer bytes and cannot be chosen.
    mLeftPos = mPosition[w.node];
    mLeftLen = t;
    mRightPos = mRightLen = 0;
    return;
  }
  CandidateFor(w, t, w.last[kLeft], &mLeftPos, &mLeftLen);
  CandidateFor(w, t, w.last[kRight], &mRightPos, &mRightLen);
  mSide = static_cast<Side>(w.right);
}

// Search(q, t) from the root for a position only inserted, where all that
// is used is the end node, the side, and whether the left candidate's
// length reaches t: exactly when the walk ends on a full match, as every
// other step agrees over fewer than t bytes. The candidates are left as
// they were.
bool Encoder::FindEnd(u32 q, u32 t) {
  Walk w;
  Begin(w, q, t, mRoot);
  do Step(w, t); while (!w.done);
  if (!w.full) mSide = static_cast<Side>(w.right);
  mEndNode = w.node;
  return w.full;
}

// A candidate's position and agreeing length (none: 0 and 0). Keys that
// differ within the bytes that can agree give the length without the
// source.
void Encoder::CandidateFor(const Walk &w, u32 t, i32 node, u32 *pos,
                           u32 *len) const {
  if (node == kNone) {
    *pos = 0;
    *len = 0;
    return;
  }
  *pos = mPosition[node];
  u64 d = (w.qKey ^ mKey[node]) & w.mask;
  *len = d ? static_cast<u32>(__builtin_clzll(d) >> 3)
           : MatchLength(w.q, *pos, t);
}

// Search(q, t) from the root, for the position being coded.
void Encoder::Find(u32 q, u32 t) { Search(q, t, mRoot); }

// Puts `with` (or nothing) where `old` hangs: in old's parent, or the root.
void Encoder::Replace(i32 old, i32 with) {
  i32 p = mParent[old];
  if (p == kNone) {
    mRoot = with;
  } else {
    // The left link when it names old, otherwise the right one; by index,
    // as which it is cannot be predicted.
    i16 *kids = mChild + 2 * p;
    kids[kids[kLeft] != old] = static_cast<i16>(with);
  }
  SetParent(with, p);  // mParent[kNone] is a spare slot
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
    SetParent(left, d);
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
    SetParent(left, c);
    SetParent(right, c);
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
  for (u32 k = 0; k < mNodeCount; k++) {
    mKey[k] = 0;
    mChild[2 * k] = mChild[2 * k + 1] = kNone;
    mPosition[k] = 0;
    mParent[k] = kNone;
  }
  if (!Emit(0x100u | mSrc[0], kLiteralBits)) return ERR_BUFFERTOOSMALL;
  mRoot = 0;
  SetPosition(0, 0);
  mCursor = 1 % mNodeCount;
  // Every position is searched and inserted in order; a match's first
  // position chooses the token, the positions it covers only enter the tree.
  u32 coveredEnd = 1;
  for (u32 p = 1; p < mN; p++) {
    u32 t = mN - p < maxLen ? mN - p : maxLen;
    if (p < coveredEnd) {
      // The limit of the position before: one byte past the end may take
      // part in the comparison here.
      u32 tPrev = mN - p + 1 < maxLen ? mN - p + 1 : maxLen;
      if (tPrev == t) {
        Insert(p, t, FindEnd(p, t) ? t : 0);
      } else {
        Find(p, tPrev);
        Insert(p, t, mLeftLen);
      }
      continue;
    }
    Find(p, t);
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
    bool ok;
    if (matchLen < 2) {
      ok = Emit(0x100u | mSrc[p], kLiteralBits);
      matchLen = 1;
    } else {
      u32 x = unchanged ? 0 : window - (p - matchPos);
      ok = Emit((x << mL) | (matchLen - 2), 1 + mW + mL);
    }
    if (!ok) return ERR_BUFFERTOOSMALL;
    coveredEnd = p + matchLen;
    Insert(p, t, matchLen);
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
  void *tree = gPtrPool->Allocate(nodeCount * kNodeBytes + sizeof(i16));
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
