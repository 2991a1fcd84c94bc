// The process-wide pools must be usable from static initialisers and static
// destructors of any file that includes their header: the pointer pool is
// built before the handle pool and torn down after it. If that order broke,
// these objects would call into a destroyed pool at exit and the test
// program would abort there instead of exiting 0.
#include <gtest/gtest.h>

#include "core/global_handle.h"
#include "core/handle_pool.h"
#include "core/ptr_pool.h"

namespace {

struct StaticPoolUser {
  StaticPoolUser() {
    block = gPtrPool->Allocate(24);
    handle = gHandlePool->Allocate(24);
    id = GlobalHandleAlloc(24);
    ptrPoolName = gPtrPool->GetClassName();
  }
  ~StaticPoolUser() {
    GlobalHandleFree(id);
    gHandlePool->Free(handle);
    gPtrPool->Free(block);
  }
  void *block;
  Handle handle;
  u32 id;
  const char *ptrPoolName;
};

StaticPoolUser gEarlyUser;

}  // namespace

TEST(PoolOrderTest, PoolsServeStaticInitialisersOfOtherFiles) {
  EXPECT_NE(gEarlyUser.block, nullptr);
  EXPECT_NE(gEarlyUser.handle, 0u);
  EXPECT_NE(gEarlyUser.id, 0u);
  EXPECT_EQ(gEarlyUser.ptrPoolName, CPtrPool::sClassName);
  EXPECT_EQ(gPtrPool->GetError(), nullptr);
  EXPECT_EQ(gHandlePool->GetError(), nullptr);
}
