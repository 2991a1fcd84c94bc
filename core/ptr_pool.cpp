#include "core/ptr_pool.h"

#include <cstdlib>
#include <cstring>

static const char kCPtrPoolName[] = "CPtrPool";
const char *const CPtrPool::sClassName = kCPtrPoolName;

const char *CPtrPool::GetClassName() const { return sClassName; }

void *CPtrPool::Cast(const char *name) {
  if (name == sClassName) return this;
  return CObject::Cast(name);
}

CPtrPool::~CPtrPool() {}

u32 CPtrPool::GetSize(void *) { return 0; }

Error CPtrPool::GetError() { return mError; }

Error CPtrPool::Extension(u32, u32) { return ERR_NOTIMPL; }

void *CHeapPtrPool::Allocate(u32 size) { return malloc(size ? size : 1); }

void *CHeapPtrPool::Reallocate(void *p, u32 size) {
  return realloc(p, size ? size : 1);
}

void CHeapPtrPool::Free(void *p) { free(p); }

u32 CHeapPtrPool::GetSize(void *p) { return HeapBlockSize(p); }

static u8 *SizeWordOf(u8 *block) {
  return block + CSizedPtrPool::kHeaderSize - 4;
}

void *CSizedPtrPool::Allocate(u32 size) {
  if (size == 0) {
    mError = PERR_ZEROSIZE;
    return nullptr;
  }
  if (size > 0xFFFFFFFFu - kHeaderSize) {
    mError = PERR_NOTENOUGHMEMORY;
    return nullptr;
  }
  u8 *block = static_cast<u8 *>(gPtrPool->Allocate(size + kHeaderSize));
  if (!block) {
    mError = PERR_NOTENOUGHMEMORY;
    return nullptr;
  }
  memcpy(SizeWordOf(block), &size, 4);
  mError = nullptr;
  return block + kHeaderSize;
}

void *CSizedPtrPool::Reallocate(void *p, u32 size) {
  if (size == 0) {
    mError = PERR_ZEROSIZE;
    return nullptr;
  }
  if (!p) {
    mError = PERR_NULLPOINTER;
    return nullptr;
  }
  if (size > 0xFFFFFFFFu - kHeaderSize) {
    mError = PERR_NOTENOUGHMEMORY;
    return nullptr;
  }
  u8 *old = static_cast<u8 *>(p) - kHeaderSize;
  u8 *block = static_cast<u8 *>(gPtrPool->Reallocate(old, size + kHeaderSize));
  if (!block) {
    mError = PERR_NOTENOUGHMEMORY;
    return nullptr;
  }
  memcpy(SizeWordOf(block), &size, 4);
  mError = nullptr;
  return block + kHeaderSize;
}

void CSizedPtrPool::Free(void *p) {
  if (!p) {
    mError = PERR_NULLPOINTER;
    return;
  }
  mError = nullptr;
  gPtrPool->Free(static_cast<u8 *>(p) - kHeaderSize);
}

u32 CSizedPtrPool::GetSize(void *p) {
  if (!p) {
    mError = PERR_NULLPOINTER;
    return 0;
  }
  u32 size;
  memcpy(&size, static_cast<u8 *>(p) - 4, 4);
  return size;
}
