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
  static const u32 kMaxCount = 65536;  // positions one Build orders at most

  // Classes of the positions [lo, hi) of the n-byte block src, for a width
  // of 2 to kMaxWidth. False when the work memory cannot be had or the
  // range is out of bounds.
  bool Build(const u8 *src, u32 n, u32 lo, u32 hi, u32 width);
  // The class of a position in [lo, hi): below Span().
  u32 Of(u32 pos) const { return mRank[pos - mLo]; }
  u32 Span() const { return mCount; }
  // Work memory for Builds of up to `count` positions (hi - lo), so that
  // they allocate nothing; false without memory or above kMaxCount.
  bool Reserve(u32 count);

 private:
  void Sort(u64 *words, u32 size);
  void Split(u32 s, u32 e, bool last);

  u32 mLo = 0;
  u32 mCount = 0;     // positions being ordered
  u32 mCapacity = 0;  // positions the work memory holds
  void *mMemory = nullptr;
  // Per place in the order: the bytes being sorted by over the place of
  // the position they belong to (see the .cpp); and room for sorting them.
  u64 *mWords = nullptr, *mSpare = nullptr;
  u32 *mRank = nullptr;  // per position (index = position - lo): its class
  // Groups of places that agree so far, as (start, end) pairs: the round's
  // list and the one being built for the next round.
  u32 *mGroups = nullptr, *mNextGroups = nullptr;
  u32 mGroupCount = 0;
  u32 *mHistogram = nullptr;  // a radix sort's counters
};
