#include "core/pool_globals.h"

#include <new>

#include "core/handle_pool.h"
#include "core/ptr_pool.h"

CPtrPool *gPtrPool;        // zero until the first guard runs; no initialiser
CHandlePool *gHandlePool;  // of its own, so nothing can reset it later

namespace {
int gGuardCount;  // zero-initialised before any dynamic initialiser runs
alignas(CHeapPtrPool) unsigned char gPtrPoolStorage[sizeof(CHeapPtrPool)];
alignas(CHeapHandlePool) unsigned char
    gHandlePoolStorage[sizeof(CHeapHandlePool)];
}  // namespace

PoolGlobalsGuard::PoolGlobalsGuard() {
  if (gGuardCount++ != 0) return;
  gPtrPool = new (gPtrPoolStorage) CHeapPtrPool();
  gHandlePool = new (gHandlePoolStorage) CHeapHandlePool();
}

PoolGlobalsGuard::~PoolGlobalsGuard() {
  if (--gGuardCount != 0) return;
  // Reverse order; blocks still allocated stay in the heap.
  gHandlePool->~CHandlePool();
  gPtrPool->~CPtrPool();
}
