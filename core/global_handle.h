// The global handle table: small 1-based ids for blocks of gHandlePool, each
// with an 8-bit lock count. Usable before any object exists.
#pragma once

#include "core/pool_globals.h"
#include "core/types.h"

// An id for a new block of `size` bytes; 0 for size 0 or on failure.
u32 GlobalHandleAlloc(u32 size);
// 1 when a block was released; 0 for id 0, an id past the table or a free
// entry. Freeing the highest id shortens the table.
u32 GlobalHandleFree(u32 id);
// The block's address, or null for a bad id. Locks nest up to 255 deep; a
// further lock is refused with null.
void *GlobalHandleLock(u32 id);
// Ends one lock; the last one releases the block's lock in gHandlePool.
void GlobalHandleUnlock(u32 id);
