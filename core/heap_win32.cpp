#include <malloc.h>

#include "core/ptr_pool.h"

u32 HeapBlockSize(void *p) { return p ? static_cast<u32>(_msize(p)) : 0; }
