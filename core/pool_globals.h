// The two process-wide pools. The pointer pool is constructed before the
// handle pool and destroyed after it. Static initialisers of different files
// run in no fixed order, so every file that can reach the pools includes this
// header, whose per-file guard object constructs both pools on first use and
// destroys them (handle pool first) when the last guard goes away. Code that
// runs during static initialisation or destruction of such a file may
// therefore use the pools.
#pragma once

class CPtrPool;
class CHandlePool;

extern CPtrPool *gPtrPool;
extern CHandlePool *gHandlePool;

struct PoolGlobalsGuard {
  PoolGlobalsGuard();
  ~PoolGlobalsGuard();
};

static PoolGlobalsGuard sPoolGlobalsGuard;
