// CPackIndex: the directory of a pack, searched in its stored front-coded
// form.
//
// The directory block is a run of records with no header, padding or
// terminator; its end is the block's length. Each record is
//   u8  L        full length of the name, 1..255
//   u8  S        bytes shared with the previous record's full name (0 first)
//   L-S bytes    the rest of the name, no terminator
//   payload      payloadSize opaque bytes (the pack's offset and size)
// Names are in strictly ascending unsigned byte order (a leading part sorts
// first) and S is the exact length of the common leading part, so the byte at
// position S of a name is greater than the previous name's byte there. A
// length byte of 0 ends the directory.
//
// Records are never expanded to search them; a sparse skip index holding the
// full name of record 0 and every skipStep-th record lets a search start near
// its target. Queries are case-sensitive: callers normalise case.
//
// Safety: whatever the block holds, no query reads outside it and every walk
// ends. A record with L = 0, with S >= L or running past the block's end is
// taken as the end of the directory; records out of order or with a wrong S
// only give wrong answers.
#pragma once

#include "core/types.h"

class CPackIndex {
 public:
  // One skip entry: where the record lies and a copy of its full name
  // (NUL-terminated, from gPtrPool).
  struct SkipEntry {
    u32 offset;
    char *name;
  };

  // The index and its skip names live in gPtrPool; a null result of `new`
  // means no memory.
  static void *operator new(size_t size) noexcept;
  static void operator delete(void *p) noexcept;

  // Takes ownership of `records`, a global handle holding `length` bytes of
  // directory. count 0: the records are counted. Never fails; without memory
  // for the skip index the index only works more slowly.
  CPackIndex(u16 payloadSize, u32 records, u32 length, u32 count,
             u16 skipStep);
  // Frees the skip names (last to first), the skip block and the records.
  ~CPackIndex();
  CPackIndex(const CPackIndex &) = delete;
  CPackIndex &operator=(const CPackIndex &) = delete;

  // True and the record's payload (payloadSize bytes) in payloadOut when a
  // record's full name equals `name`.
  bool Lookup(const char *name, void *payloadOut);
  // True and, in nameOut (256 bytes), the name after `previousName`; with no
  // previousName the first name. False for the last name, for a name that is
  // not stored and for an empty index. nameOut may be previousName.
  bool NextName(const char *previousName, char *nameOut);
  // True and, in nameOut (256 bytes), the first name that begins with
  // `prefix` (the first name of all for ""). nameOut may be prefix.
  bool FindFirstWithPrefix(const char *prefix, char *nameOut);
  // True and, in nameOut (256 bytes), the last name of the run of names that
  // begin with `prefix`, found by one walk; the same answer as NextName
  // repeated while the names begin with prefix. Lists skip whole folders
  // with it.
  bool FindLastWithPrefix(const char *prefix, char *nameOut);

  // Steps through the records in stored order, for a walk over the whole
  // directory: *cursor starts at 0 and moves to the next record; nameOut
  // (256 bytes) must hold the name the previous call gave, and receives the
  // record's full name, payloadOut its payload. False at the end of the
  // directory, also at a record whose shared part is longer than the previous
  // name (a damaged directory); *cursor then equals GetLength() only when the
  // directory ended cleanly.
  bool NextRecord(u32 *cursor, char *nameOut, void *payloadOut);

  u32 GetCount() const { return mCount; }
  u32 GetLength() const { return mLength; }
  u32 GetSkipCount() const { return mSkipCount; }
  // Skip entry i (i < GetSkipCount()), for inspection; false when absent.
  bool GetSkipEntry(u32 i, SkipEntry *out);

 private:
  // A record as read from the block.
  struct Record {
    u32 length;       // L
    u32 shared;       // S
    const u8 *suffix;  // L - S bytes
    const u8 *payload;
    u32 next;  // offset of the following record
  };

  // False when no record starts at `offset` (end of the block, L = 0,
  // S >= L, or a record running past the end).
  bool ReadRecord(const u8 *block, u32 offset, Record *out) const;
  static bool StepRecord(const Record &r, const u8 *key, u32 keyLen, u32 *m,
                         bool *agrees);
  // Copies `text` into the work buffer as a key; false when it is longer
  // than any name can be.
  bool MakeKey(const char *text);
  // Exact match of the work key; true with the record's offset.
  bool Search(const u8 *block, u32 *offsetOut);
  // Prefix match of the work key; true with the record's offset and the
  // full name written to nameOut.
  bool SearchPrefix(const u8 *block, char *nameOut, u32 *offsetOut);
  // The skip entry to start a search for the work key at; false without a
  // skip index.
  bool SkipSearch(SkipEntry *out);
  void BuildSkipIndex(u16 step);
  void FreeSkipIndex();
  const u8 *Lock();
  void Unlock();

  u32 mRecords;
  u32 mCount = 0;
  u32 mLength;
  u16 mPayloadSize;
  u32 mSkipEntries = 0;
  u16 mSkipStep = 0;
  u32 mSkipCount = 0;
  u32 mLockDepth = 0;
  const u8 *mLockedRecords = nullptr;
  // Work buffer: the current key as a record head (length, 0) and up to 255
  // name bytes. Each index has its own, so that two packs (the patch and a
  // game archive) never share search state; queries on one index still must
  // not overlap, and none allocates.
  u8 mWork[2 + 255 + 1];
};
