// The order of a block's positions by the bytes that follow them, for the
// LZSS encoder.
#pragma once

#include "core/types.h"

// Sorts the positions of a stretch of a block by the `width` bytes from
// each (bytes past the block's end read as zero) and names each position's
// class: its place in that order, shared by every position whose bytes are
// the same. Equal bytes give equal classes and classes compare as the bytes
// do, so a set of classes tells a position's nearest neighbours in the
// order without comparing any bytes. One object can be built again and
// again; its memory comes from gPtrPool.
class KeyClasses {
 public:
  KeyClasses() {}
  ~KeyClasses();
  KeyClasses(const KeyClasses &) = delete;
  KeyClasses &operator=(const KeyClasses &) = delete;

  static const u32 kMaxWidth = 64;

  // Classes of the positions [lo, hi) of the n-byte block src, for a width
  // of 2 to kMaxWidth. False when the work memory cannot be had.
  bool Build(const u8 *src, u32 n, u32 lo, u32 hi, u32 width);
  // The class of a position in [lo, hi): below Span().
  u32 Of(u32 pos) const { return mRank[pos - mLo]; }
  u32 Span() const { return mCount; }
  // Work memory for Builds of up to `count` positions (hi - lo plus the
  // width past hi, at most n - lo), so that they allocate nothing; false
  // without memory.
  bool Reserve(u32 count);

 private:
  void SortByFirstTwoBytes(const u8 *src, u32 n);
  void Refine(u32 d);
  void SortLargeGroups();
  void Split(u32 s, u32 e);

  u32 mLo = 0;
  u32 mCount = 0;     // positions being ordered
  u32 mCapacity = 0;  // positions the work memory holds
  void *mMemory = nullptr;
  // Per position (index = position - lo): its class so far, the first place
  // of its group in the order; kMaxWidth zero entries follow, so that a
  // position's neighbour past the stretch reads as class 0.
  u32 *mRank = nullptr;
  u32 *mOrder = nullptr;  // positions in order
  u32 *mKeyAt = nullptr;  // per place: the key a refinement sorts by
  u32 *mCursor = nullptr;  // per group start: the next free place
  // Groups still holding several positions, as (start, end) places; the
  // next round's list is built beside the current one.
  u32 *mGroups = nullptr, *mNextGroups = nullptr;
  u32 mGroupCount = 0, mNextGroupCount = 0;
  u64 *mPairs = nullptr, *mPairs2 = nullptr;  // (key << 32 | position)
  u32 *mHistogram = nullptr;                  // 65,536 counters
};
