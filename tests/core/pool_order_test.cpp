// The process-wide pools serve static initialisers and destructors of any
// file that includes their header: the pointer pool is built before the
// handle pool and torn down after it. Were that order broken, this object
// would call into a destroyed pool at exit and the program would abort there
// instead of exiting 0.
#include <gtest/gtest.h>

#include "core/global_handle.h"
#include "core/handle_pool.h"
#include "core/ptr_pool.h"

namespace {

struct StaticPoolUser {
  void *block = gPtrPool->Allocate(24);
  Handle handle = gHandlePool->Allocate(24);
  u32 id = GlobalHandleAlloc(24);
  ~StaticPoolUser() {
    GlobalHandleFree(id);
    gHandlePool->Free(handle);
    gPtrPool->Free(block);
  }
} gEarlyUser;

}  // namespace

TEST(PoolOrderTest, PoolsServeStaticInitialisersOfOtherFiles) {
  EXPECT_TRUE(gEarlyUser.block && gEarlyUser.handle && gEarlyUser.id);
  EXPECT_TRUE(!gPtrPool->GetError() && !gHandlePool->GetError());
}
