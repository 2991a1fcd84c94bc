#include "fs/file.h"

#include "core/ptr_pool.h"

static const char kCFileName[] = "CFile";
const char *const CFile::sClassName = kCFileName;

const char *CFile::GetClassName() const { return sClassName; }

void *CFile::Cast(const char *name) {
  if (name == sClassName) return this;
  return CObject::Cast(name);
}

CFile::CFile(CFile *parent_, u32 ownsParent_)
    : parent(parent_), ownsParent(ownsParent_) {}

CFile::~CFile() {
  if (ownsParent && parent) delete parent;
}

Error CFile::Read(void *, u32, u32 *) { return nullptr; }

Error CFile::ReadAt(void *buffer, u32 position, u32 size, u32 *countOut) {
  Error e = Seek(static_cast<i32>(position), SEEK_FROM_START);
  if (e) return e;
  return Read(buffer, size, countOut);
}

Error CFile::Write(const void *, u32, u32 *) { return nullptr; }

Error CFile::WriteAt(const void *buffer, u32 position, u32 size,
                     u32 *countOut) {
  Error e = Seek(static_cast<i32>(position), SEEK_FROM_START);
  if (e) return e;
  return Write(buffer, size, countOut);
}

Error CFile::Seek(i32, i16) { return nullptr; }
u32 CFile::GetSize() { return 0; }
u32 CFile::Tell() { return 0; }
Error CFile::Flush() { return nullptr; }
Error CFile::Truncate() { return nullptr; }

Error CFile::MoveData(u32 destination, u32 source, u32 length, u32 chunkSize,
                      void *buffer) {
  u32 size = GetSize();
  if (source > size) return nullptr;
  if (length > size - source) length = size - source;
  if (length == 0) return nullptr;
  if (chunkSize == 0) return ERR_BADPARAMS;
  void *own = nullptr;
  if (!buffer) {
    own = gPtrPool->Allocate(chunkSize);
    if (!own) return FERR_NOTENOUGHMEM;
    buffer = own;
  }
  bool backwards = source < destination;
  if (backwards) {
    source += length;
    destination += length;
  }
  Error e = nullptr;
  while (length > 0 && !e) {
    u32 n = chunkSize < length ? chunkSize : length;
    if (backwards) {
      source -= n;
      destination -= n;
    }
    e = ReadAt(buffer, source, n, nullptr);
    if (!e) e = WriteAt(buffer, destination, n, nullptr);
    if (!backwards) {
      source += n;
      destination += n;
    }
    length -= n;
  }
  if (own) gPtrPool->Free(own);
  return e;
}

Error CFile::LoadRegion(u32 position, u32 size, void **bufferOut) {
  if (!bufferOut) return ERR_BADPARAMS;
  void *block = gPtrPool->Allocate(size);
  *bufferOut = block;
  if (!block) return FERR_NOTENOUGHMEM;
  Error e = ReadAt(block, position, size, nullptr);
  if (e) {
    gPtrPool->Free(block);
    *bufferOut = nullptr;
    return e;
  }
  regionCount++;
  return nullptr;
}

Error CFile::FreeRegion(void *buffer) {
  gPtrPool->Free(buffer);
  if (regionCount) regionCount--;
  return nullptr;
}

void *CFile::Reserved1() { return nullptr; }
void *CFile::Reserved2() { return nullptr; }

Error CFile::GetProperty(u32, uintptr_t *, u32) { return FERR_UNKNOWNPID; }
Error CFile::SetProperty(u32, uintptr_t, u32) { return FERR_UNKNOWNPID; }
