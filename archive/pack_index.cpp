#include "archive/pack_index.h"

#include <cstring>

#include "core/global_handle.h"
#include "core/ptr_pool.h"

namespace {

// The smallest record: a length byte, a shared byte and one name byte.
const u32 kMinRecordHead = 3;

// Index order of `key` (keyLen bytes, no NUL inside) against the
// NUL-terminated `name`; *common receives the length of their common leading
// part.
int CompareWithName(const u8 *key, u32 keyLen, const char *name, u32 *common) {
  const u8 *n = reinterpret_cast<const u8 *>(name);
  u32 i = 0;
  while (i < keyLen && n[i] != 0 && key[i] == n[i]) i++;
  *common = i;
  if (i < keyLen) {
    if (n[i] == 0) return 1;
    return key[i] < n[i] ? -1 : 1;
  }
  return n[i] == 0 ? 0 : -1;
}

}  // namespace

void *CPackIndex::operator new(size_t size) noexcept {
  return gPtrPool->Allocate(static_cast<u32>(size));
}

void CPackIndex::operator delete(void *p) noexcept {
  if (p) gPtrPool->Free(p);
}

CPackIndex::CPackIndex(u16 payloadSize, u32 records, u32 length, u32 count,
                       u16 skipStep)
    : mRecords(records), mCount(count), mLength(length),
      mPayloadSize(payloadSize) {
  mWork[0] = 0;
  mWork[1] = 0;
  if (!mRecords) return;
  if (mCount == 0) {
    const u8 *block = Lock();
    if (block) {
      Record r;
      for (u32 o = 0; ReadRecord(block, o, &r); o = r.next) mCount++;
      Unlock();
    }
  }
  BuildSkipIndex(skipStep);
}

CPackIndex::~CPackIndex() {
  FreeSkipIndex();
  if (mRecords) {
    while (mLockDepth > 0) Unlock();
    GlobalHandleFree(mRecords);
  }
}

bool CPackIndex::ReadRecord(const u8 *block, u32 offset, Record *out) const {
  if (offset >= mLength || mLength - offset < kMinRecordHead) return false;
  u32 length = block[offset];
  u32 shared = block[offset + 1];
  if (length == 0 || shared >= length) return false;
  u32 size = 2 + (length - shared) + mPayloadSize;
  if (size > mLength - offset) return false;
  out->length = length;
  out->shared = shared;
  out->suffix = block + offset + 2;
  out->payload = out->suffix + (length - shared);
  out->next = offset + size;
  return true;
}

bool CPackIndex::MakeKey(const char *text) {
  u32 n = 0;
  while (text[n] != 0) {
    if (n == 255) return false;
    mWork[2 + n] = static_cast<u8>(text[n]);
    n++;
  }
  mWork[0] = static_cast<u8>(n);
  mWork[1] = 0;
  mWork[2 + n] = 0;
  return true;
}

const u8 *CPackIndex::Lock() {
  if (mLockDepth == 0) {
    if (!mRecords) return nullptr;
    void *p = GlobalHandleLock(mRecords);
    if (!p) return nullptr;
    mLockedRecords = static_cast<const u8 *>(p);
  }
  mLockDepth++;
  return mLockedRecords;
}

void CPackIndex::Unlock() {
  if (mLockDepth == 0) return;
  if (--mLockDepth == 0) {
    GlobalHandleUnlock(mRecords);
    mLockedRecords = nullptr;
  }
}

bool CPackIndex::SkipSearch(SkipEntry *out) {
  if (!mSkipEntries || mSkipCount == 0) return false;
  SkipEntry *entries = static_cast<SkipEntry *>(GlobalHandleLock(mSkipEntries));
  if (!entries) return false;
  const u8 *key = mWork + 2;
  u32 keyLen = mWork[0];
  u32 lo = 0;
  u32 hi = mSkipCount;
  while (hi - lo != 1) {
    u32 mid = lo + (hi - lo) / 2;
    u32 common;
    int c = CompareWithName(key, keyLen, entries[mid].name, &common);
    if (c == 0) {
      lo = mid;
      break;
    }
    if (c < 0)
      hi = mid;
    else
      lo = mid;
  }
  *out = entries[lo];
  GlobalHandleUnlock(mSkipEntries);
  return true;
}

// One record of a walk that keeps m, the length of the common leading part
// of the key and the previous record's full name, and looks only at the
// bytes of each record that differ from the previous name. False when the
// key sorts before the record (the walk ends); otherwise m grows by the
// bytes the record's suffix shares with the key, and `agrees` tells whether
// the suffix and the rest of the key agree as far as both go.
bool CPackIndex::StepRecord(const Record &r, const u8 *key, u32 keyLen,
                            u32 *m, bool *agrees) {
  *agrees = false;
  // Departs from the previous name after m, where the key is greater.
  if (r.shared > *m) return true;
  // Departs upwards where the key still agrees: the key sorts before.
  if (r.shared < *m) return false;
  u32 rest = keyLen - *m;
  u32 span = r.length - r.shared;
  u32 n = rest < span ? rest : span;
  const u8 *k = key + *m;
  u32 j = 0;
  while (j < n && k[j] == r.suffix[j]) j++;
  if (j < n) {
    if (k[j] < r.suffix[j]) return false;
    *m += j;
    return true;
  }
  *agrees = true;
  return true;
}

bool CPackIndex::Search(const u8 *block, u32 *offsetOut) {
  const u8 *key = mWork + 2;
  u32 keyLen = mWork[0];
  u32 offset = 0;
  u32 m = 0;
  Record r;
  SkipEntry entry;
  if (SkipSearch(&entry)) {
    int c = CompareWithName(key, keyLen, entry.name, &m);
    if (c == 0) {
      *offsetOut = entry.offset;
      return true;
    }
    if (c < 0 || !ReadRecord(block, entry.offset, &r)) return false;
    offset = r.next;
  }
  for (; ReadRecord(block, offset, &r); offset = r.next) {
    bool agrees;
    if (!StepRecord(r, key, keyLen, &m, &agrees)) return false;
    if (!agrees) continue;
    u32 rest = keyLen - m;
    u32 span = r.length - r.shared;
    if (rest == span) {
      *offsetOut = offset;
      return true;
    }
    if (rest < span) return false;
    m += span;
  }
  return false;
}

bool CPackIndex::SearchPrefix(const u8 *block, char *nameOut,
                              u32 *offsetOut) {
  const u8 *key = mWork + 2;
  u32 keyLen = mWork[0];
  u32 offset = 0;
  u32 m = 0;
  Record r;
  SkipEntry entry;
  if (SkipSearch(&entry)) {
    int c = CompareWithName(key, keyLen, entry.name, &m);
    if (m == keyLen) {
      // The entry's own name begins with the prefix.
      size_t n = strlen(entry.name);
      memcpy(nameOut, entry.name, n + 1);
      *offsetOut = entry.offset;
      return true;
    }
    if (c < 0 || !ReadRecord(block, entry.offset, &r)) return false;
    offset = r.next;
  }
  for (; ReadRecord(block, offset, &r); offset = r.next) {
    bool agrees;
    if (!StepRecord(r, key, keyLen, &m, &agrees)) return false;
    if (!agrees) continue;
    u32 rest = keyLen - m;
    u32 span = r.length - r.shared;
    if (rest <= span) {
      // The name is the prefix's first m bytes followed by the suffix.
      memmove(nameOut, key, m);
      memcpy(nameOut + m, r.suffix, span);
      nameOut[m + span] = 0;
      *offsetOut = offset;
      return true;
    }
    m += span;
  }
  return false;
}

bool CPackIndex::Lookup(const char *name, void *payloadOut) {
  if (!name || !payloadOut || mCount == 0 || !MakeKey(name)) return false;
  const u8 *block = Lock();
  if (!block) return false;
  u32 offset;
  bool found = Search(block, &offset);
  if (found) {
    Record r;
    found = ReadRecord(block, offset, &r);
    if (found) memcpy(payloadOut, r.payload, mPayloadSize);
  }
  Unlock();
  return found;
}

bool CPackIndex::NextRecord(u32 *cursor, char *nameOut, void *payloadOut) {
  if (!cursor || !nameOut || !payloadOut) return false;
  const u8 *block = Lock();
  if (!block) return false;
  Record r;
  bool found = ReadRecord(block, *cursor, &r) &&
               (*cursor == 0 ? r.shared == 0 : r.shared <= strlen(nameOut));
  if (found) {
    memcpy(nameOut + r.shared, r.suffix, r.length - r.shared);
    nameOut[r.length] = 0;
    memcpy(payloadOut, r.payload, mPayloadSize);
    *cursor = r.next;
  }
  Unlock();
  return found;
}

bool CPackIndex::NextName(const char *previousName, char *nameOut) {
  if (!nameOut || mCount == 0) return false;
  if (previousName && !MakeKey(previousName)) return false;
  const u8 *block = Lock();
  if (!block) return false;
  bool ok = false;
  Record r;
  if (!previousName) {
    // Record 0 shares nothing with a previous name.
    if (ReadRecord(block, 0, &r)) {
      u32 span = r.length - r.shared;
      memcpy(nameOut, r.suffix, span);
      nameOut[span] = 0;
      ok = true;
    }
  } else {
    u32 offset;
    Record next;
    if (Search(block, &offset) && ReadRecord(block, offset, &r) &&
        ReadRecord(block, r.next, &next) && next.shared <= mWork[0]) {
      u32 span = next.length - next.shared;
      memcpy(nameOut, mWork + 2, next.shared);
      memcpy(nameOut + next.shared, next.suffix, span);
      nameOut[next.length] = 0;
      ok = true;
    }
  }
  Unlock();
  return ok;
}

bool CPackIndex::FindFirstWithPrefix(const char *prefix, char *nameOut) {
  if (!prefix || !nameOut || mCount == 0 || !MakeKey(prefix)) return false;
  const u8 *block = Lock();
  if (!block) return false;
  u32 offset;
  bool found = SearchPrefix(block, nameOut, &offset);
  Unlock();
  return found;
}

bool CPackIndex::FindLastWithPrefix(const char *prefix, char *nameOut) {
  if (!prefix || !nameOut || mCount == 0 || !MakeKey(prefix)) return false;
  const u8 *block = Lock();
  if (!block) return false;
  u32 offset;
  bool found = SearchPrefix(block, nameOut, &offset);
  if (found) {
    u32 keyLen = mWork[0];
    u32 nameLen = static_cast<u32>(strlen(nameOut));
    Record r;
    if (ReadRecord(block, offset, &r)) {
      // With exact shared lengths a record still begins with the prefix
      // exactly when it shares at least the prefix with its predecessor.
      for (u32 o = r.next; ReadRecord(block, o, &r); o = r.next) {
        if (r.shared < keyLen || r.shared > nameLen) break;
        memcpy(nameOut + r.shared, r.suffix, r.length - r.shared);
        nameLen = r.length;
        nameOut[nameLen] = 0;
      }
    }
  }
  Unlock();
  return found;
}

bool CPackIndex::GetSkipEntry(u32 i, SkipEntry *out) {
  if (i >= mSkipCount || !out) return false;
  SkipEntry *entries = static_cast<SkipEntry *>(GlobalHandleLock(mSkipEntries));
  if (!entries) return false;
  *out = entries[i];
  GlobalHandleUnlock(mSkipEntries);
  return true;
}

void CPackIndex::BuildSkipIndex(u16 step) {
  if (!mRecords || mCount == 0 || step == 0 || mCount < step) return;
  FreeSkipIndex();
  // A count from a file may be anything; no more records fit in the block.
  u32 fit = mLength / (kMinRecordHead + mPayloadSize);
  u32 capacity = (mCount < fit ? mCount : fit) / step;
  if (capacity == 0) return;
  u64 bytes = static_cast<u64>(capacity) * sizeof(SkipEntry);
  if (bytes > 0xFFFFFFFFu) return;
  u32 handle = GlobalHandleAlloc(static_cast<u32>(bytes));
  if (!handle) return;
  SkipEntry *entries = static_cast<SkipEntry *>(GlobalHandleLock(handle));
  const u8 *block = entries ? Lock() : nullptr;
  if (!block) {
    if (entries) GlobalHandleUnlock(handle);
    GlobalHandleFree(handle);
    return;
  }
  memset(entries, 0, static_cast<size_t>(bytes));
  char name[256];
  u32 nameLen = 0;
  u32 made = 0;
  u32 ordinal = 0;
  Record r;
  for (u32 o = 0; made < capacity && ReadRecord(block, o, &r);
       o = r.next, ordinal++) {
    if (r.shared > nameLen) break;
    memcpy(name + r.shared, r.suffix, r.length - r.shared);
    nameLen = r.length;
    name[nameLen] = 0;
    if (ordinal % step != 0) continue;
    char *copy = static_cast<char *>(gPtrPool->Allocate(nameLen + 1));
    if (!copy) break;
    memcpy(copy, name, nameLen + 1);
    entries[made].offset = o;
    entries[made].name = copy;
    made++;
  }
  Unlock();
  GlobalHandleUnlock(handle);
  if (made == 0) {
    GlobalHandleFree(handle);
    return;
  }
  mSkipEntries = handle;
  mSkipCount = made;
  mSkipStep = step;
}

void CPackIndex::FreeSkipIndex() {
  if (!mSkipEntries) return;
  SkipEntry *entries = static_cast<SkipEntry *>(GlobalHandleLock(mSkipEntries));
  if (entries) {
    for (u32 i = mSkipCount; i-- > 0;)
      if (entries[i].name) gPtrPool->Free(entries[i].name);
    GlobalHandleUnlock(mSkipEntries);
  }
  GlobalHandleFree(mSkipEntries);
  mSkipEntries = 0;
  mSkipCount = 0;
  mSkipStep = 0;
}
