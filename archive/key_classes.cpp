#include "archive/key_classes.h"

#include <algorithm>
#include <cstring>

#include "archive/lzss_code.h"
#include "core/ptr_pool.h"

// The width bytes of a position are taken six at a time, as the top 48 bits
// of one 64-bit word whose low 16 bits name the position: sorting the words
// sorts the positions by those bytes. All positions are sorted by their
// first six bytes at once; the groups that still agree are then sorted by
// the next six bytes, and so on until every group is told apart or the
// width is used up. The bytes are read straight from the block, so no pass
// depends on another's classes and most positions are settled by the first.

namespace {

const u32 kChunkBytes = 6;
const u32 kIndexBits = 16;
const u64 kIndexMask = (1ull << kIndexBits) - 1;
const u32 kDigitBits = 12;  // four passes cover the 48 key bits
const u32 kDigits = (48 + kDigitBits - 1) / kDigitBits;
const u32 kBuckets = 1u << kDigitBits;
const u32 kInsertionLimit = 24;
const u32 kRadixLimit = 4096;  // smaller groups: comparison sort

// Bytes [at, at + count) of the block as the top bits of a 48-bit number,
// zero past the block's end, shifted above the index bits.
inline u64 ChunkAt(const u8 *src, u32 n, u32 at, u32 count) {
  u64 v = 0;
  if (at + 8 <= n) {
    v = lzss::Load64BE(src + at) >> (8 * (8 - kChunkBytes));  // six bytes
  } else {
    for (u32 k = 0; k < kChunkBytes; k++) v = (v << 8) | (at + k < n ? src[at + k] : 0);
  }
  if (count < kChunkBytes) v &= ~((1ull << (8 * (kChunkBytes - count))) - 1);
  return v << kIndexBits;
}

// Sorts a[0, size) by insertion, each word taken as next(a[j]) just before
// it is sorted in: a group's words are read and sorted in one pass.
template <typename Next>
void InsertionSort(u64 *a, u32 size, Next next) {
  for (u32 j = 0; j < size; j++) {
    u64 v = next(a[j]);
    u32 k = j;
    for (; k > 0 && a[k - 1] > v; k--) a[k] = a[k - 1];
    a[k] = v;
  }
}

}  // namespace

KeyClasses::~KeyClasses() {
  if (mMemory) gPtrPool->Free(mMemory);
}

bool KeyClasses::Reserve(u32 count) {
  if (count > kMaxCount) return false;
  if (mMemory && count <= mCapacity) return true;
  if (mMemory) gPtrPool->Free(mMemory);
  mMemory = nullptr;
  mCapacity = 0;
  // 64-bit arrays first, so that they stay aligned. Each list of groups
  // holds at most count / 2 of them, and a spare slot.
  u64 bytes = 2ull * count * sizeof(u64) +
              (3ull * count + 4 + kDigits * kBuckets) * sizeof(u32);
  mMemory = gPtrPool->Allocate(static_cast<u32>(bytes));
  if (!mMemory) return false;
  mCapacity = count;
  mWords = static_cast<u64 *>(mMemory);
  mSpare = mWords + count;
  mRank = reinterpret_cast<u32 *>(mSpare + count);
  mGroups = mRank + count;
  mNextGroups = mGroups + count + 2;
  mHistogram = mNextGroups + count + 2;
  return true;
}

bool KeyClasses::Build(const u8 *src, u32 n, u32 lo, u32 hi, u32 width) {
  if (width < 2 || width > kMaxWidth || lo > hi || hi > n) return false;
  u32 count = hi - lo;
  if (!Reserve(count)) return false;
  mLo = lo;
  mCount = count;
  u32 chunk = width < kChunkBytes ? width : kChunkBytes;
  for (u32 i = 0; i < count; i++) mWords[i] = ChunkAt(src, n, lo + i, chunk) | i;
  Sort(mWords, count);
  mGroupCount = 0;
  u32 done = chunk;
  Split(0, count, done >= width);
  while (mGroupCount) {
    chunk = width - done < kChunkBytes ? width - done : kChunkBytes;
    // The groups still open are read from one list while those split off
    // them go to the other.
    std::swap(mGroups, mNextGroups);
    u32 groups = mGroupCount;
    mGroupCount = 0;
    bool last = done + chunk >= width;
    for (u32 g = 0; g < groups; g++) {
      u32 s = mNextGroups[2 * g], e = mNextGroups[2 * g + 1];
      if (e - s <= kInsertionLimit) {
        // Most groups are small: each word is read and sorted in at once.
        InsertionSort(mWords + s, e - s, [=](u64 word) {
          u32 i = static_cast<u32>(word & kIndexMask);
          return ChunkAt(src, n, lo + i + done, chunk) | i;
        });
      } else {
        for (u32 j = s; j < e; j++) {
          u32 i = static_cast<u32>(mWords[j] & kIndexMask);
          mWords[j] = ChunkAt(src, n, lo + i + done, chunk) | i;
        }
        Sort(mWords + s, e - s);
      }
      Split(s, e, last);
    }
    done += chunk;
  }
  return true;
}

// Sorts words by value: small runs by insertion, middling ones by
// comparison, large ones by a radix sort that skips the digits all share.
void KeyClasses::Sort(u64 *a, u32 size) {
  if (size <= kInsertionLimit) {
    InsertionSort(a, size, [](u64 word) { return word; });
    return;
  }
  if (size < kRadixLimit) {
    std::sort(a, a + size);
    return;
  }
  u32 *hist = mHistogram;
  memset(hist, 0, kDigits * kBuckets * sizeof(u32));
  for (u32 i = 0; i < size; i++) {
    u64 key = a[i] >> kIndexBits;
    for (u32 d = 0; d < kDigits; d++) hist[d * kBuckets + ((key >> (d * kDigitBits)) & (kBuckets - 1))]++;
  }
  u64 *from = a, *to = mSpare;
  u64 first = a[0] >> kIndexBits;
  for (u32 d = 0; d < kDigits; d++) {
    u32 *start = hist + d * kBuckets;
    if (start[(first >> (d * kDigitBits)) & (kBuckets - 1)] == size) continue;  // shared
    u32 sum = 0;
    for (u32 k = 0; k < kBuckets; k++) {
      u32 c = start[k];
      start[k] = sum;
      sum += c;
    }
    u32 shift = kIndexBits + d * kDigitBits;
    for (u32 i = 0; i < size; i++) to[start[(from[i] >> shift) & (kBuckets - 1)]++] = from[i];
    std::swap(from, to);
  }
  if (from != a) memcpy(a, from, size * sizeof(u64));
}

// Gives the sorted places [s, e) their classes: each run of equal keys is
// one class, named by its first place. A run that still has bytes to be
// told apart by also goes on the list for the next round, which names its
// classes again. Without branches on the keys, which follow no pattern: the
// list's next slot is always written and only counted for such a run.
void KeyClasses::Split(u32 s, u32 e, bool last) {
  u32 open = last ? 0 : 1;
  u32 first = s;
  u64 prev = mWords[s] >> kIndexBits;
  mRank[mWords[s] & kIndexMask] = s;
  for (u32 j = s + 1; j < e; j++) {
    u64 key = mWords[j] >> kIndexBits;
    u32 ends = key != prev;
    mGroups[2 * mGroupCount] = first;
    mGroups[2 * mGroupCount + 1] = j;
    mGroupCount += ends & (j - first > 1) & open;
    first = ends ? j : first;
    prev = key;
    mRank[mWords[j] & kIndexMask] = first;
  }
  mGroups[2 * mGroupCount] = first;
  mGroups[2 * mGroupCount + 1] = e;
  mGroupCount += (e - first > 1) & open;
}
