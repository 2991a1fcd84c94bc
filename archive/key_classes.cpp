#include "archive/key_classes.h"

#include <cstring>

#include "core/ptr_pool.h"

// Prefix doubling: the positions are first sorted by two bytes; each round
// then sorts the positions of every group that is still shared by the class
// of the bytes d further on, which extends the sorted length from h to
// h + d bytes (d <= h, so the two stretches meet). A group's class is the
// place of its first member in the order, which compares as the bytes do.
// Each round reads the classes of the round before only: classes refined
// within a round would sort by more than `width` bytes.

namespace {

const u32 kHistogramSize = 65536;
const u32 kInsertionLimit = 32;  // groups up to this size: insertion sort

u32 ByteAt(const u8 *src, u32 n, u32 pos) { return pos < n ? src[pos] : 0; }

u32 BitLength(u32 v) {
  u32 bits = 0;
  while (v) {
    bits++;
    v >>= 1;
  }
  return bits;
}

}  // namespace

KeyClasses::~KeyClasses() {
  if (mMemory) gPtrPool->Free(mMemory);
}

bool KeyClasses::Reserve(u32 count) {
  if (mMemory && count <= mCapacity) return true;
  if (mMemory) gPtrPool->Free(mMemory);
  mMemory = nullptr;
  mCapacity = 0;
  // 64-bit arrays first, so that they stay aligned.
  u64 words = 2ull * count;
  u64 quads = 6ull * count + kMaxWidth + kHistogramSize;
  u64 bytes = words * sizeof(u64) + quads * sizeof(u32);
  if (bytes > 0xFFFFFFFFull) return false;
  mMemory = gPtrPool->Allocate(static_cast<u32>(bytes));
  if (!mMemory) return false;
  mCapacity = count;
  mPairs = static_cast<u64 *>(mMemory);
  mPairs2 = mPairs + count;
  mRank = reinterpret_cast<u32 *>(mPairs2 + count);
  mOrder = mRank + count + kMaxWidth;
  mKeyAt = mOrder + count;
  mCursor = mKeyAt + count;
  mGroups = mCursor + count;
  mNextGroups = mGroups + count;
  mHistogram = mNextGroups + count;
  return true;
}

bool KeyClasses::Build(const u8 *src, u32 n, u32 lo, u32 hi, u32 width) {
  if (width < 2 || width > kMaxWidth) return false;
  // The positions just past hi take part, so that the last ones asked for
  // are ordered by bytes, not by the stand-in class of what lies beyond.
  u32 end = n - hi > width ? hi + width : n;
  u32 count = end - lo;
  if (!Reserve(count)) return false;
  mLo = lo;
  mCount = count;
  memset(mRank + count, 0, width * sizeof(u32));
  SortByFirstTwoBytes(src + lo, n - lo);
  u32 h = 2;
  while (h < width && mGroupCount) {
    u32 d = width - h < h ? width - h : h;
    Refine(d);
    h += d;
  }
  return true;
}

// Counting sort by the first two bytes; each bucket is a group.
void KeyClasses::SortByFirstTwoBytes(const u8 *src, u32 n) {
  u32 *start = mHistogram;
  memset(start, 0, kHistogramSize * sizeof(u32));
  for (u32 i = 0; i < mCount; i++)
    start[ByteAt(src, n, i) << 8 | ByteAt(src, n, i + 1)]++;
  u32 sum = 0;
  mGroupCount = 0;
  for (u32 k = 0; k < kHistogramSize; k++) {
    u32 size = start[k];
    start[k] = sum;
    if (size > 1) {
      mGroups[2 * mGroupCount] = sum;
      mGroups[2 * mGroupCount + 1] = sum + size;
      mGroupCount++;
    }
    sum += size;
  }
  for (u32 i = 0; i < mCount; i++)
    mRank[i] = start[ByteAt(src, n, i) << 8 | ByteAt(src, n, i + 1)];
  for (u32 j = 0; j < mCount; j++) mCursor[j] = j;
  for (u32 i = 0; i < mCount; i++) mOrder[mCursor[mRank[i]]++] = i;
}

// Sorts every open group by the class d positions further on and splits it
// where that class changes. All keys are read before any class changes.
void KeyClasses::Refine(u32 d) {
  for (u32 g = 0; g < mGroupCount; g++) {
    u32 s = mGroups[2 * g], e = mGroups[2 * g + 1];
    for (u32 j = s; j < e; j++) mKeyAt[j] = mRank[mOrder[j] + d];
  }
  mNextGroupCount = 0;
  u32 large = 0;
  for (u32 g = 0; g < mGroupCount; g++) {
    u32 s = mGroups[2 * g], e = mGroups[2 * g + 1];
    if (e - s > kInsertionLimit) {
      // Kept at the front of the list for the radix sort.
      mGroups[2 * large] = s;
      mGroups[2 * large + 1] = e;
      large++;
      continue;
    }
    for (u32 j = s + 1; j < e; j++) {
      u32 key = mKeyAt[j], pos = mOrder[j];
      u32 k = j;
      while (k > s && mKeyAt[k - 1] > key) {
        mKeyAt[k] = mKeyAt[k - 1];
        mOrder[k] = mOrder[k - 1];
        k--;
      }
      mKeyAt[k] = key;
      mOrder[k] = pos;
    }
    Split(s, e);
  }
  mGroupCount = large;
  SortLargeGroups();
  for (u32 g = 0; g < large; g++) Split(mGroups[2 * g], mGroups[2 * g + 1]);
  u32 *t = mGroups;
  mGroups = mNextGroups;
  mNextGroups = t;
  mGroupCount = mNextGroupCount;
}

// The large groups (the first mGroupCount of the list) together: one radix
// sort of all their positions by key, then each position goes back to its
// own group in that order, so every group comes out sorted.
void KeyClasses::SortLargeGroups() {
  if (!mGroupCount) return;
  // Keys are places in the order, below mCount. Every pass's histogram is
  // counted while the pairs are gathered, so each pass only scatters.
  u32 bits = BitLength(mCount);
  u32 passes = (bits + 10) / 11;
  u32 digitBits = (bits + passes - 1) / passes;
  u32 mask = (1u << digitBits) - 1;
  u32 *histogram[3];
  for (u32 pass = 0; pass < passes; pass++)
    histogram[pass] = mHistogram + pass * (mask + 1);
  memset(mHistogram, 0, passes * (mask + 1) * sizeof(u32));
  u32 total = 0;
  for (u32 g = 0; g < mGroupCount; g++) {
    u32 s = mGroups[2 * g], e = mGroups[2 * g + 1];
    mCursor[s] = s;
    for (u32 j = s; j < e; j++) {
      u32 key = mKeyAt[j];
      mPairs[total++] = static_cast<u64>(key) << 32 | mOrder[j];
      for (u32 pass = 0; pass < passes; pass++)
        histogram[pass][(key >> (pass * digitBits)) & mask]++;
    }
  }
  u64 *from = mPairs, *to = mPairs2;
  for (u32 pass = 0; pass < passes; pass++) {
    u32 shift = 32 + pass * digitBits;
    u32 *start = histogram[pass];
    u32 sum = 0;
    for (u32 k = 0; k <= mask; k++) {
      u32 c = start[k];
      start[k] = sum;
      sum += c;
    }
    for (u32 i = 0; i < total; i++)
      to[start[(from[i] >> shift) & mask]++] = from[i];
    u64 *t = from;
    from = to;
    to = t;
  }
  for (u32 i = 0; i < total; i++) {
    u32 pos = static_cast<u32>(from[i]);
    u32 place = mCursor[mRank[pos]]++;
    mOrder[place] = pos;
    mKeyAt[place] = static_cast<u32>(from[i] >> 32);
  }
}

// New classes for the sorted group [s, e); parts still shared go to the
// next round.
void KeyClasses::Split(u32 s, u32 e) {
  u32 first = s;
  for (u32 j = s + 1; j <= e; j++) {
    if (j < e && mKeyAt[j] == mKeyAt[first]) continue;
    if (j - first > 1) {
      mNextGroups[2 * mNextGroupCount] = first;
      mNextGroups[2 * mNextGroupCount + 1] = j;
      mNextGroupCount++;
    }
    for (u32 k = first; k < j; k++) mRank[mOrder[k]] = first;
    first = j;
  }
}
