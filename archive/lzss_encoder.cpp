#include "archive/lzss.h"

#include <cstring>

#include "archive/key_classes.h"
#include "archive/lzss_code.h"
#include "archive/lzss_encoder.h"
#include "core/ptr_pool.h"

using namespace lzss;

namespace {

// Greedy parse. The candidates for a match live in a binary search tree of
// the last 2^W - 1 positions, ordered by the bytes that follow each position
// (compared over at most the current match limit). Node k always holds a
// position congruent to k modulo 2^W - 1, so the node about to be reused
// holds the position that is just leaving the window.
//
// The stream depends on the tree's shape only near the end of the block,
// where the match limit shrinks and a walk can stop at any of several
// positions that agree over the shorter limit. Elsewhere a walk's outcome
// follows from the order alone, so the positions there are sorted once
// (KeyClasses) and each search becomes a lookup of q's neighbours in a set
// of classes (Locate).
//
// Nor does the body need the tree's links. Every change the tree goes
// through keeps it a heap by one number per node, its stamp (a new leaf
// takes the next stamp; a node that takes another's place takes its stamp),
// and a tree ordered by key and heaped by distinct stamps has one shape
// only. So the body keeps the stamps and the nodes' order as a list, and
// the links are built from them where the walks begin (BuildTree).

// The body's two steps run once per position of the block, from one loop:
// kept in it, what one step leaves for the next stays in registers.
#if defined(__GNUC__)
#define ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define ALWAYS_INLINE inline
#endif

const i32 kNone = -1;
// Positions whose classes are worked out at a time: a block of the usual
// size is one stretch, larger blocks keep the work memory bounded.
const u32 kStretch = 32768;
enum Side { kLeft = 0, kRight = 1 };
const u32 kAhead = 2;  // positions the set's memory is fetched ahead

// A node is kept in separate arrays, so that what a walk reads stays in
// the first-level cache: its key (the first eight bytes at its position as
// one big-endian number, zero past the end), which decides most steps
// without touching the source, and its two children; its position and
// parent are read less often.
//
// The body reads and writes a node's fields together, at a node that
// follows no pattern: they share one record (BodyNode).
struct BodyNode {
  u32 stamp;     // kOut when not in the tree
  u32 position;
  i16 prev, next;  // neighbours in the order among the tree's nodes
  u16 cls;       // the class it is in the set under
  u16 spare;
};
// The records come first, with one more before them that stands for
// kNone: its stamp is older than any node's, and what is written to it is
// never read.
const u32 kNodeBytes = sizeof(BodyNode) + sizeof(u64) + sizeof(u32) +
                       2 * sizeof(i16) + sizeof(i16);
const u32 kTreeExtraBytes = sizeof(BodyNode) + sizeof(i16);
const u32 kOut = 0xFFFFFFFFu;
const u32 kNoneStamp = 0;

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

// The classes of the positions in the tree, each with its node: the tree's
// order without its shape. Two levels of bits find the nearest class
// present below or above any class in a few word operations. The memory
// belongs to the encoder object and outlives the set.
class ClassSet {
 public:
  ClassSet(void **memory, u32 *capacity)
      : mMemory(memory), mCapacity(capacity) {}
  ClassSet(const ClassSet &) = delete;
  ClassSet &operator=(const ClassSet &) = delete;

  // The memory a set of classes below span takes.
  static u32 BytesFor(u32 span) {
    u32 words = (span + 63) / 64;
    return (words + (words + 63) / 64) * 8 + span * 2;
  }
  // Empties the set for classes below span; false without memory.
  bool Reset(u32 span);
  i32 Member(u32 cls) const { return mMember[cls]; }
  // Brings in what a lookup of cls reads first, ahead of it.
  void Prefetch(u32 cls) const {
    __builtin_prefetch(mMember + cls);
    __builtin_prefetch(mMember + (cls & ~63u));
    __builtin_prefetch(mBits + (cls >> 6));
  }
  void Add(u32 cls, i32 node) {
    mMember[cls] = static_cast<i16>(node);
    mBits[cls >> 6] |= 1ull << (cls & 63);
    mSummary[cls >> 12] |= 1ull << ((cls >> 6) & 63);
  }
  void Remove(u32 cls) {
    mMember[cls] = static_cast<i16>(kNone);
    u64 &word = mBits[cls >> 6];
    word &= ~(1ull << (cls & 63));
    if (!word) mSummary[cls >> 12] &= ~(1ull << ((cls >> 6) & 63));
  }
  // The node of the nearest class present below / above cls, or kNone.
  i32 Below(u32 cls) const;
  i32 Above(u32 cls) const;

 private:
  static u32 Highest(u64 v) { return 63 - static_cast<u32>(__builtin_clzll(v)); }
  static u32 Lowest(u64 v) { return static_cast<u32>(__builtin_ctzll(v)); }

  void **mMemory;
  u32 *mCapacity;
  u32 mSummaryWords = 0;
  u64 *mBits = nullptr;
  u64 *mSummary = nullptr;  // one bit per word of mBits that is not zero
  i16 *mMember = nullptr;
};

bool ClassSet::Reset(u32 span) {
  u32 words = (span + 63) / 64;
  u32 summaryWords = (words + 63) / 64;
  u32 bytes = BytesFor(span);
  if (!*mMemory || bytes > *mCapacity) {
    if (*mMemory) gPtrPool->Free(*mMemory);
    *mMemory = gPtrPool->Allocate(bytes);
    *mCapacity = *mMemory ? bytes : 0;
    if (!*mMemory) return false;
  }
  mBits = static_cast<u64 *>(*mMemory);
  mSummary = mBits + words;
  mMember = reinterpret_cast<i16 *>(mSummary + summaryWords);
  mSummaryWords = summaryWords;
  memset(mBits, 0, (words + summaryWords) * 8);
  memset(mMember, 0xFF, span * 2);  // kNone
  return true;
}

i32 ClassSet::Below(u32 cls) const {
  u32 w = cls >> 6;
  u64 bits = mBits[w] & ((1ull << (cls & 63)) - 1);
  if (!bits) {
    u32 s = w >> 6;
    u64 summary = mSummary[s] & ((1ull << (w & 63)) - 1);
    while (!summary) {
      if (s == 0) return kNone;
      summary = mSummary[--s];
    }
    w = s * 64 + Highest(summary);
    bits = mBits[w];
  }
  return mMember[w * 64 + Highest(bits)];
}

i32 ClassSet::Above(u32 cls) const {
  u32 w = cls >> 6;
  u64 bits = mBits[w] & (~1ull << (cls & 63));
  if (!bits) {
    u32 s = w >> 6;
    u64 summary = mSummary[s] & (~1ull << (w & 63));
    while (!summary) {
      if (++s == mSummaryWords) return kNone;
      summary = mSummary[s];
    }
    w = s * 64 + Lowest(summary);
    bits = mBits[w];
  }
  return mMember[w * 64 + Lowest(bits)];
}

class Encoder {
 public:
  Encoder(const u8 *src, u32 n, u8 *dst, u32 capacity, u32 w, u32 l,
          void *tree, KeyClasses *classes, void **setMemory, u32 *setCapacity)
      : mSrc(src), mN(n), mDst(dst), mCapacity(capacity), mW(w), mL(l),
        mNodeCount((1u << w) - 1), mClasses(*classes),
        mSet(setMemory, setCapacity) {
    mNode = static_cast<BodyNode *>(tree) + 1;
    mKey = reinterpret_cast<u64 *>(mNode + mNodeCount);
    mPosition = reinterpret_cast<u32 *>(mKey + mNodeCount);
    mChild = reinterpret_cast<i16 *>(mPosition + mNodeCount);
    // One spare slot before the first parent, for kNone.
    mParent = mChild + 2 * mNodeCount + 1;
  }

  Error Run(const u8 *reference, u32 *lengthOut);

 private:
  u32 MatchLength(u32 q, u32 s, u32 limit) const;
  u64 Key(u32 q) const;
  // A node's position and key for the walks. The body keeps positions in
  // its records only; LoadKeys fills both in when the walks begin.
  void SetPosition(i32 c, u32 q) {
    mPosition[c] = q;
    mKey[c] = Key(q);
  }
  void LoadKeys(u32 used);
  void BuildTree();
  // The set's entry for node c, by the class it was entered under.
  void AddToSet(i32 c, u32 cls) {
    mNode[c].cls = static_cast<u16>(cls);
    mSet.Add(cls, c);
  }
  void RemoveFromSet(i32 c) { mSet.Remove(mNode[c].cls); }
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
  bool StartStretch(u32 from, u32 to, u32 maxLen);
  bool Locate(u32 q, u32 t, bool candidates);
  bool InTree(i32 c) const { return mParent[c] != kNone || mRoot == c; }
  void InsertTracked(u32 q, u32 t, u32 u);
  // Puts c between prev and next in the order.
  void Link(i32 c, i32 prev, i32 next) {
    mNode[c].prev = static_cast<i16>(prev);
    mNode[c].next = static_cast<i16>(next);
    mNode[prev].next = static_cast<i16>(c);
    mNode[next].prev = static_cast<i16>(c);
  }
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
  BodyNode *mNode;  // the nodes while the body is coded
  u32 mNextStamp = 0;
  i32 mRoot = kNone;
  u32 mCursor = 0;
  // Result of the last search.
  u32 mLeftPos = 0, mLeftLen = 0, mRightPos = 0, mRightLen = 0;
  i32 mEndNode = kNone;
  Side mSide = kLeft;
  // The classes of the positions of the stretch being coded and of the
  // window before it, and those of the tree's positions (see Locate).
  KeyClasses &mClasses;
  ClassSet mSet;
  // The position last located: its class, the node of that class and its
  // neighbours in the order (kNone when there are none).
  u32 mClass = 0;
  i32 mSame = kNone, mBelow = kNone, mAbove = kNone;
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

// Positions [from, to) are coded next with the classes; from > 0. The
// classes cover the window before them too, so that the tree's positions
// enter the set.
bool Encoder::StartStretch(u32 from, u32 to, u32 maxLen) {
  u32 lo = from > mNodeCount ? from - mNodeCount : 0;
  if (!mClasses.Build(mSrc, mN, lo, to, maxLen)) return false;
  if (!mSet.Reset(mClasses.Span())) return false;
  for (u32 k = 0; k < mNodeCount; k++)
    if (mNode[k].stamp != kOut)
      AddToSet(static_cast<i32>(k), mClasses.Of(mNode[k].position));
  return true;
}

// Search(q, t) without a walk, for a position whose t = maxLen bytes all
// lie in the block: there every comparison of the walk is one of whole
// keys, so the tree is ordered as the classes are and holds at most one
// position of each class. A node of q's own class is where the walk ends
// on a full match; otherwise the walk passes q's nearest neighbours in the
// order (the last node passed on the right is the one below q, on the left
// the one above). With `candidates`, their positions and lengths are the
// search's. True for a full match.
ALWAYS_INLINE bool Encoder::Locate(u32 q, u32 t, bool candidates) {
  u32 cls = mClasses.Of(q);
  mClass = cls;
  i32 same = mSet.Member(cls);
  mSame = same;
  if (same != kNone) {
    mLeftPos = mNode[same].position;
    mLeftLen = t;
    mRightPos = mRightLen = 0;
    return true;
  }
  i32 below = mSet.Below(cls);
  i32 above = below != kNone ? mNode[below].next : mSet.Above(cls);
  mBelow = below;
  mAbove = above;
  if (candidates) {
    mLeftPos = mLeftLen = mRightPos = mRightLen = 0;
    if (above != kNone) {
      mLeftPos = mNode[above].position;
      mLeftLen = MatchLength(q, mLeftPos, t);
    }
    if (below != kNone) {
      mRightPos = mNode[below].position;
      mRightLen = MatchLength(q, mRightPos, t);
    }
  }
  return false;
}

// Insert(q, t, u) in the body, on the stamps and the order: q is the
// position last located. The walk would end at the node of q's class, or
// else at the newer of its neighbours: the older one has its child on q's
// side taken, or it would not be q's neighbour.
ALWAYS_INLINE void Encoder::InsertTracked(u32 q, u32 t, u32 u) {
  BodyNode *node = mNode;
  i32 c = static_cast<i32>(mCursor);
  if (++mCursor == mNodeCount) mCursor = 0;
  i32 below = mBelow, above = mAbove, end = mSame;
  // A missing neighbour's stamp is the oldest. Which is newer is a coin
  // toss: chosen by a mask, not a branch.
  u32 newerBelow = 0u - static_cast<u32>(node[above].stamp < node[below].stamp);
  i32 newer = static_cast<i32>((static_cast<u32>(below) & newerBelow) |
                               (static_cast<u32>(above) & ~newerBelow));
  if (end == kNone) end = newer;
  BodyNode &n = node[c];
  if (c == end) {  // q takes c's place, next to it in the order
    RemoveFromSet(c);
    AddToSet(c, mClass);
    n.position = q;
    return;
  }
  if (n.stamp != kOut) {
    // With two children, c's place goes to the node just below it, which
    // then stands where c stood in the heap. A neighbour is c's child
    // exactly when it is newer.
    i32 prev = n.prev, next = n.next;
    u32 prevStamp = node[prev].stamp, nextStamp = node[next].stamp;
    u32 older = prevStamp < nextStamp ? prevStamp : nextStamp;
    u32 inherit = 0u - static_cast<u32>(older > n.stamp);
    node[prev].stamp = (n.stamp & inherit) | (prevStamp & ~inherit);
    node[prev].next = static_cast<i16>(next);
    node[next].prev = static_cast<i16>(prev);
    RemoveFromSet(c);
    n.stamp = kOut;
    if (c == below) below = prev;
    if (c == above) above = next;
  }
  n.position = q;
  if (u < t) {
    n.stamp = mNextStamp++;  // a new leaf
    Link(c, below, above);
  } else {
    // q agrees with the end node in full and takes its place.
    BodyNode &e = node[end];
    n.stamp = e.stamp;
    Link(c, e.prev, e.next);
    RemoveFromSet(end);
    e.stamp = kOut;
  }
  AddToSet(c, mClass);
}

// The links of the tree the body's stamps and order describe, for the
// walks from here on: a stack of the right spine, in order.
void Encoder::BuildTree() {
  // The keys are not loaded yet; their memory holds the stack.
  i16 *stack = reinterpret_cast<i16 *>(mKey);
  u32 depth = 0;
  i32 x = mSet.Member(0);
  if (x == kNone) x = mSet.Above(0);
  for (; x != kNone; x = mNode[x].next) {
    i32 last = kNone;
    while (depth && mNode[stack[depth - 1]].stamp > mNode[x].stamp)
      last = stack[--depth];
    SetChild(x, kLeft, last);
    SetParent(last, x);  // mParent[kNone] is a spare slot
    if (depth) {
      SetChild(stack[depth - 1], kRight, x);
      SetParent(x, stack[depth - 1]);
    } else {
      SetParent(x, kNone);
    }
    stack[depth++] = static_cast<i16>(x);
  }
  mRoot = depth ? stack[0] : kNone;
}

// The keys of the first `used` nodes, the only ones that have held a
// position, for the walks of the block's last positions.
void Encoder::LoadKeys(u32 used) {
  for (u32 k = 0; k < used; k++) {
    mPosition[k] = mNode[k].position;
    mKey[k] = Key(mPosition[k]);
  }
}

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
// (u >= t: the end node matches q in full and q takes its place), after a
// search for q.
void Encoder::Insert(u32 q, u32 t, u32 u) {
  i32 c = static_cast<i32>(mCursor);
  if (++mCursor == mNodeCount) mCursor = 0;
  if (c == mEndNode) {
    SetPosition(c, q);
    return;
  }
  if (InTree(c)) Unlink(c);
  SetPosition(c, q);
  i32 end = mEndNode;
  if (u < t) {
    i32 below = Child(end, mSide);
    if (below != kNone) {
      // The unlinking moved a subtree under the end node: q's place is
      // further down it.
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
    mNode[k].stamp = kOut;
  }
  mNode[kNone].stamp = kNoneStamp;
  if (!Emit(0x100u | mSrc[0], kLiteralBits)) return ERR_BUFFERTOOSMALL;
  mRoot = 0;
  SetPosition(0, 0);
  mNode[0].stamp = kNoneStamp + 1;
  mNode[0].position = 0;
  mNode[0].prev = mNode[0].next = kNone;
  mNextStamp = kNoneStamp + 2;
  mCursor = 1 % mNodeCount;
  // Every position is searched and inserted in order; a match's first
  // position chooses the token, the positions it covers only enter the tree.
  u32 coveredEnd = 1;
  // Positions below bodyEnd compare whole keys of maxLen bytes and are
  // located by their classes, a stretch at a time; the last few positions
  // of the block walk the tree.
  const u32 bodyEnd = mN > maxLen ? mN - maxLen + 1 : 0;
  u32 stretchEnd = 1;
  for (u32 p = 1; p < mN; p++) {
    u32 t = mN - p < maxLen ? mN - p : maxLen;
    const bool body = p < bodyEnd;
    if (p == bodyEnd && p > 1) {
      BuildTree();
      LoadKeys(p < mNodeCount ? p : mNodeCount);
    }
    if (body && p == stretchEnd) {
      stretchEnd = bodyEnd - p > kStretch ? p + kStretch : bodyEnd;
      if (!StartStretch(p, stretchEnd, maxLen)) return FERR_NOTENOUGHMEM;
    }
    // The lookups of the next positions hop through memory at random; what
    // they read first is known already.
    if (body && p + kAhead < stretchEnd) mSet.Prefetch(mClasses.Of(p + kAhead));
    if (p < coveredEnd && body) {
      InsertTracked(p, t, Locate(p, t, false) ? t : 0);
      continue;
    }
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
    if (body)
      Locate(p, t, true);
    else
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
    if (body)
      InsertTracked(p, t, matchLen);
    else
      Insert(p, t, matchLen);
  }
  if (mAccBits > 0) {
    u64 byteIndex = (mBitPos - mAccBits) >> 3;
    mDst[byteIndex] = static_cast<u8>(mAcc << (8 - mAccBits));
  }
  *lengthOut = static_cast<u32>((mBitPos + 7) >> 3);
  return nullptr;
}

// The positions one stretch's classes cover at most: the window before it
// and the stretch.
u32 MostClassPositions(u8 code, u32 blockSize) {
  u32 bound = ((1u << OffsetBits(code)) - 1) + kStretch;
  return blockSize < bound ? blockSize : bound;
}

}  // namespace

CLzssEncoder::~CLzssEncoder() {
  if (mTree) gPtrPool->Free(mTree);
  if (mSet) gPtrPool->Free(mSet);
}

bool CLzssEncoder::ReserveTree(u32 nodeCount) {
  if (mTree && nodeCount <= mTreeNodes) return true;
  if (mTree) gPtrPool->Free(mTree);
  mTree = gPtrPool->Allocate(nodeCount * kNodeBytes + kTreeExtraBytes);
  mTreeNodes = mTree ? nodeCount : 0;
  return mTree != nullptr;
}

bool CLzssEncoder::ReserveSet(u32 span) {
  ClassSet set(&mSet, &mSetBytes);
  return set.Reset(span);
}

Error CLzssEncoder::Reserve(u8 code, u32 maxBlock) {
  if (!LzssCodeIsValid(code)) return LERR_NOSUCHBITLENGTHS;
  u32 span = MostClassPositions(code, maxBlock);
  if (!ReserveTree((1u << OffsetBits(code)) - 1) ||
      !mClasses.Reserve(span) || !ReserveSet(span))
    return FERR_NOTENOUGHMEM;
  return nullptr;
}

Error CLzssEncoder::Encode(const void *source, u32 sourceLength,
                           void *destination, u32 *lengthInOut, u8 code,
                           const void *reference) {
  if (!LzssCodeIsValid(code)) return LERR_NOSUCHBITLENGTHS;
  u32 capacity = *lengthInOut;
  if (capacity) memset(destination, 0, capacity);
  if (sourceLength == 0) {
    *lengthInOut = 0;
    return nullptr;
  }
  if (!ReserveTree((1u << OffsetBits(code)) - 1)) return FERR_NOTENOUGHMEM;
  Encoder enc(static_cast<const u8 *>(source), sourceLength,
              static_cast<u8 *>(destination), capacity, OffsetBits(code),
              LengthBits(code), mTree, &mClasses, &mSet, &mSetBytes);
  u32 length = 0;
  Error e = enc.Run(static_cast<const u8 *>(reference), &length);
  if (!e) *lengthInOut = length;
  return e;
}

Error LzssEncode(const void *source, u32 sourceLength, void *destination,
                 u32 *lengthInOut, u8 code, const void *reference) {
  CLzssEncoder encoder;
  return encoder.Encode(source, sourceLength, destination, lengthInOut, code,
                        reference);
}
