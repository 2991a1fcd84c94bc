#include "core/global_handle.h"

#include <cstring>

#include "core/handle_pool.h"

// The table is one block of gHandlePool holding whole chunks of entries; its
// capacity is always one chunk more than count / kChunk (rounded down). A
// free entry has handle 0 and keeps the index of the next free entry.
namespace {

const u32 kChunk = 4096;
const u32 kNoFree = 0xFFFFFFFFu;

struct Entry {
  Handle handle;    // the user's block; 0 marks a free entry
  uintptr_t value;  // pointer of the last lock, or the next free index
  u8 locks;
};

Handle gTable;
u32 gCount;
u32 gFreeHead = kNoFree;

u32 ChunksFor(u32 count) { return count / kChunk + 1; }

Entry *LockTable() { return static_cast<Entry *>(gHandlePool->Lock(gTable)); }
void UnlockTable() { gHandlePool->Unlock(gTable, 1); }

// Resizes the table block for `count` entries; false when the pool refuses.
bool FitTable(u32 oldCount, u32 newCount) {
  if (newCount == 0) {
    gHandlePool->Free(gTable);
    gTable = 0;
    gFreeHead = kNoFree;
    return true;
  }
  u32 chunks = ChunksFor(newCount);
  if (gTable && chunks == ChunksFor(oldCount)) return true;
  u32 bytes = chunks * kChunk * static_cast<u32>(sizeof(Entry));
  Handle h = gTable ? gHandlePool->Reallocate(gTable, bytes)
                    : gHandlePool->Allocate(bytes);
  if (!h) return false;
  gTable = h;
  return true;
}

Entry *EntryOf(Entry *table, u32 id) {
  if (!table || id == 0 || id > gCount) return nullptr;
  Entry *e = &table[id - 1];
  return e->handle ? e : nullptr;
}

}  // namespace

u32 GlobalHandleAlloc(u32 size) {
  if (size == 0) return 0;
  Handle block = gHandlePool->Allocate(size);
  if (!block) return 0;
  u32 index;
  if (gTable && gFreeHead != kNoFree) {
    index = gFreeHead;
    Entry *table = LockTable();
    gFreeHead = static_cast<u32>(table[index].value);
    table[index].handle = block;
    table[index].value = 0;
    table[index].locks = 0;
    UnlockTable();
    return index + 1;
  }
  if (gCount == 0xFFFFFFFEu || !FitTable(gCount, gCount + 1)) {
    gHandlePool->Free(block);
    return 0;
  }
  index = gCount++;
  Entry *table = LockTable();
  table[index].handle = block;
  table[index].value = 0;
  table[index].locks = 0;
  UnlockTable();
  return index + 1;
}

u32 GlobalHandleFree(u32 id) {
  if (!gTable) return 0;
  Entry *table = LockTable();
  Entry *e = EntryOf(table, id);
  if (!e) {
    UnlockTable();
    return 0;
  }
  if (e->locks) gHandlePool->Unlock(e->handle, 1);
  gHandlePool->Free(e->handle);
  e->handle = 0;
  e->locks = 0;
  if (id == gCount) {
    UnlockTable();
    // If the pool refuses to shrink the block, the larger block just stays.
    u32 oldCount = gCount--;
    FitTable(oldCount, gCount);
    return 1;
  }
  e->value = gFreeHead;
  gFreeHead = id - 1;
  UnlockTable();
  return 1;
}

void *GlobalHandleLock(u32 id) {
  if (!gTable) return nullptr;
  Entry *table = LockTable();
  Entry *e = EntryOf(table, id);
  void *result = nullptr;
  if (e && e->locks < 255) {
    if (e->locks == 0) e->value = reinterpret_cast<uintptr_t>(
                           gHandlePool->Lock(e->handle));
    if (e->value) {
      e->locks++;
      result = reinterpret_cast<void *>(e->value);
    }
  }
  UnlockTable();
  return result;
}

void GlobalHandleUnlock(u32 id) {
  if (!gTable) return;
  Entry *table = LockTable();
  Entry *e = EntryOf(table, id);
  if (e && e->locks > 0 && --e->locks == 0)
    gHandlePool->Unlock(e->handle, 1);
  UnlockTable();
}
