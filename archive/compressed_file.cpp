#include "archive/compressed_file.h"

#include <cstring>

#include "core/endian.h"
#include "core/ptr_pool.h"

namespace {

const u32 kSizeOffset = 4;
const u32 kBlockSizeOffset = 8;
const u32 kTableEntriesStep = 16;  // the table grows in steps of this
const u32 kOneBlockStart = 18;     // first block of a one-block container
const u32 kMoveChunk = 0x8000;     // bounce buffer for relocating blocks
const u32 kMoveToEnd = 0x7FFFFFFF;

}  // namespace

static const char kCCompressedFileName[] = "CCompressedFile";
const char *const CCompressedFile::sClassName = kCCompressedFileName;

const char *CCompressedFile::GetClassName() const { return sClassName; }

void *CCompressedFile::Cast(const char *name) {
  if (name == sClassName) return this;
  return CFile::Cast(name);
}

CCompressedFile::CCompressedFile(const char *expectedMagic_, CFile *parent_,
                                 u32 ownsParent_, u32 numerator,
                                 u32 denominator, u32 slack)
    : CFile(parent_, ownsParent_), expectedMagic(expectedMagic_) {
  valid = 0;
  if (!parent || !expectedMagic || denominator == 0) {
    constructionError = ERR_BADPARAMS;
    return;
  }
  parent->Seek(0, SEEK_FROM_START);
  Error e = parent->ReadAt(header, 0, kHeaderSize, nullptr);
  if (e) {
    constructionError = e;
    return;
  }
  if (GetU32LE(header) != GetU32LE(expectedMagic)) {
    constructionError = ERR_INVALIDFORMAT;
    return;
  }
  u32 blockSize = BlockSize();
  // A zero block size has no layout; one whose work buffer does not fit in
  // 32 bits cannot be held.
  u64 wanted = static_cast<u64>(blockSize) * numerator / denominator + slack;
  if (blockSize == 0 || blockSize > kMaxBlockSize || wanted > 0xFFFFFFFFu ||
      wanted < blockSize) {
    constructionError = ERR_INVALIDFORMAT;
    return;
  }
  bufferSize = static_cast<u32>(wanted);
  u32 size = UncompressedSize();
  u32 n = size == 0 ? 1 : (size - 1) / blockSize + 1;
  // The table must fit in the parent before it is worth allocating.
  u32 parentSize = parent->GetSize();
  if (kHeaderSize + 4ull * n > parentSize) {
    constructionError = ERR_INVALIDFORMAT;
    return;
  }
  buffer = static_cast<u8 *>(gPtrPool->Allocate(bufferSize));
  if (!buffer) {
    constructionError = FERR_NOTENOUGHMEM;
    return;
  }
  e = SetBlockCount(n);
  if (e) {
    constructionError = e;
    return;
  }
  u8 *raw = reinterpret_cast<u8 *>(blockTable);
  e = parent->ReadAt(raw, kHeaderSize, 4 * n, nullptr);
  if (e) {
    constructionError = e;
    return;
  }
  for (u32 i = 0; i < n; i++) blockTable[i] = GetU32LE(raw + 4 * i);
  blockTable[n] = parentSize;
  // Blocks start after the table, never go backwards and end in the parent.
  if (blockTable[0] < kHeaderSize + 4 * n) {
    constructionError = ERR_INVALIDFORMAT;
    return;
  }
  for (u32 i = 0; i < n; i++) {
    if (blockTable[i + 1] < blockTable[i]) {
      constructionError = ERR_INVALIDFORMAT;
      return;
    }
  }
  valid = 1;
}

CCompressedFile::~CCompressedFile() {
  if (blockTable) gPtrPool->Free(blockTable);
  if (buffer) gPtrPool->Free(buffer);
}

u32 CCompressedFile::BlockSize() const {
  return GetU32LE(header + kBlockSizeOffset);
}

u32 CCompressedFile::UncompressedSize() const {
  return GetU32LE(header + kSizeOffset);
}

void CCompressedFile::SetUncompressedSize(u32 size) {
  PutU32LE(header + kSizeOffset, size);
}

u32 CCompressedFile::BlockLength(u32 index) const {
  if (index + 1 < blockCount) return BlockSize();
  return UncompressedSize() - BlockSize() * index;
}

Error CCompressedFile::Read(void *out, u32 size, u32 *countOut) {
  u32 total = UncompressedSize();
  if (position > total) {
    if (countOut) *countOut = 0;
    return FERR_EOF;
  }
  if (size > total - position) {
    if (!countOut) return FERR_EOF;
    size = total - position;
  }
  if (countOut) *countOut = 0;
  if (!valid) return size ? ERR_WHATAMESS : nullptr;
  u32 blockSize = BlockSize();
  u32 block = position / blockSize;
  u32 offset = position % blockSize;
  u8 *dst = static_cast<u8 *>(out);
  while (size > 0) {
    if (static_cast<i32>(block) != cachedBlock) {
      Error e = LoadBlock(static_cast<i32>(block), 1);
      if (e) return e;
    }
    u32 n = blockSize - offset < size ? blockSize - offset : size;
    memcpy(dst, buffer + offset, n);
    dst += n;
    position += n;
    size -= n;
    if (countOut) *countOut += n;
    block++;
    offset = 0;
  }
  return nullptr;
}

Error CCompressedFile::Write(const void *in, u32 size, u32 *countOut) {
  if (countOut) *countOut = 0;
  if (!valid) return ERR_WHATAMESS;
  if (static_cast<u64>(position) + size > 0xFFFFFFFFu) return ERR_OUTOFRANGE;
  if (position + size > UncompressedSize()) {
    Error e = SetSize(position + size);
    if (e) return e;
  }
  u32 blockSize = BlockSize();
  u32 block = position / blockSize;
  u32 offset = position % blockSize;
  const u8 *src = static_cast<const u8 *>(in);
  while (size > 0) {
    if (static_cast<i32>(block) != cachedBlock) {
      u32 readContents = (offset == 0 && size >= blockSize) ? 0 : 1;
      Error e = LoadBlock(static_cast<i32>(block), readContents);
      if (e) return e;
    }
    u32 n = blockSize - offset < size ? blockSize - offset : size;
    memcpy(buffer + offset, src, n);
    src += n;
    position += n;
    size -= n;
    if (countOut) *countOut += n;
    cacheDirty = 1;
    block++;
    offset = 0;
  }
  return nullptr;
}

Error CCompressedFile::Seek(i32 offset, i16 origin) {
  switch (origin) {
    case SEEK_FROM_START:
      position = offset > 0 ? static_cast<u32>(offset) : 0;
      break;
    case SEEK_FROM_CURRENT:
      position += static_cast<u32>(offset);
      break;
    case SEEK_FROM_END:
      position = UncompressedSize() + static_cast<u32>(offset);
      break;
    default:
      break;
  }
  return nullptr;
}

u32 CCompressedFile::GetSize() { return UncompressedSize(); }

u32 CCompressedFile::Tell() { return position; }

Error CCompressedFile::Truncate() { return SetSize(position); }

Error CCompressedFile::Flush() {
  if (!valid) return nullptr;
  Error e = LoadBlock(cachedBlock, 0);
  if (e) return e;
  if (!headerDirty) return nullptr;
  u32 tableEnd = kHeaderSize + 4 * blockCount;
  if (blockTable[0] != tableEnd) {
    e = parent->MoveData(tableEnd, blockTable[0], kMoveToEnd, kMoveChunk,
                         nullptr);
    if (e) return e;
    u32 shift = tableEnd - blockTable[0];  // modulo 2^32 either way
    for (u32 i = 0; i <= blockCount; i++) blockTable[i] += shift;
    parent->Seek(static_cast<i32>(blockTable[blockCount]), SEEK_FROM_START);
    e = parent->Truncate();
    if (e) return e;
  }
  e = parent->WriteAt(header, 0, kHeaderSize, nullptr);
  if (e) return e;
  // The table goes out in slices so no second copy of it is needed.
  u8 slice[256];
  for (u32 i = 0; i < blockCount;) {
    u32 k = 0;
    for (; k < sizeof(slice) / 4 && i + k < blockCount; k++)
      PutU32LE(slice + 4 * k, blockTable[i + k]);
    e = parent->WriteAt(slice, kHeaderSize + 4 * i, 4 * k, nullptr);
    if (e) return e;
    i += k;
  }
  headerDirty = 0;
  return nullptr;
}

Error CCompressedFile::SetBlockCount(u32 count) {
  if (count == blockCount) return nullptr;
  u64 capacity = (static_cast<u64>(count) / kTableEntriesStep + 1) *
                 kTableEntriesStep;
  if (capacity != tableCapacity) {
    if (capacity * 4 > 0xFFFFFFFFu) return FERR_NOTENOUGHMEM;
    void *p = gPtrPool->Reallocate(blockTable, static_cast<u32>(capacity * 4));
    if (!p) return FERR_NOTENOUGHMEM;
    blockTable = static_cast<u32 *>(p);
    tableCapacity = static_cast<u32>(capacity);
  }
  if (blockCount == 0) blockTable[0] = kOneBlockStart;
  while (blockCount < count) {
    blockTable[blockCount + 1] = blockTable[blockCount];
    blockCount++;
  }
  if (count < blockCount) blockCount = count;
  return nullptr;
}

Error CCompressedFile::SetSize(u32 newSize) {
  if (!valid) return ERR_WHATAMESS;
  u32 size = UncompressedSize();
  if (newSize == size) return nullptr;
  bool growing = newSize > size;
  u32 blockSize = BlockSize();
  u32 newCount = newSize == 0 ? 1 : (newSize - 1) / blockSize + 1;
  i32 load = static_cast<i32>(growing ? blockCount - 1 : newCount - 1);
  if (load != cachedBlock) {
    Error e = LoadBlock(load, 1);
    if (e) return e;
  }
  Error e = SetBlockCount(newCount);
  if (e) return e;
  SetUncompressedSize(newSize);
  cacheDirty = 1;
  headerDirty = 1;
  if (!growing) {
    // The cut-off bytes must not come back if the file grows again.
    u32 kept = BlockLength(blockCount - 1);
    memset(buffer + kept, 0, blockSize - kept);
    parent->Seek(static_cast<i32>(blockTable[blockCount]), SEEK_FROM_START);
    parent->Truncate();
  }
  return nullptr;
}

Error CCompressedFile::LoadBlock(i32 index, u32 readContents) {
  if (!valid) return ERR_WHATAMESS;
  if (cachedBlock != -1 && cacheDirty) {
    Error e = StoreCachedBlock();
    if (e) {
      cachedBlock = -1;
      cacheDirty = 0;
      return e;
    }
  }
  if (!readContents) {
    cachedBlock = index;
    return nullptr;
  }
  cachedBlock = -1;
  if (index < 0 || static_cast<u32>(index) >= blockCount)
    return ERR_INDEXOUTOFRANGE;
  Error e = ReadBlock(static_cast<u32>(index));
  if (e) return e;
  cachedBlock = index;
  return nullptr;
}

// Compresses the cached block and writes it where it belongs, moving the
// following blocks when its stored length changed.
Error CCompressedFile::StoreCachedBlock() {
  u32 index = static_cast<u32>(cachedBlock);
  u32 length = BlockLength(index);
  u8 *staging = static_cast<u8 *>(gPtrPool->Allocate(bufferSize));
  if (!staging) return FERR_NOTENOUGHMEM;
  u32 compressed = bufferSize;
  Error e = CompressBlock(buffer, length, staging, &compressed);
  if (e) {
    gPtrPool->Free(staging);
    return e;
  }
  const u8 *data = staging;
  u32 stored = compressed;
  if (compressed >= length) {
    data = buffer;
    stored = length;
  }
  u32 newEnd = blockTable[index] + stored;
  u32 oldEnd = blockTable[index + 1];
  if (newEnd != oldEnd) {
    e = parent->MoveData(newEnd, oldEnd, kMoveToEnd, kMoveChunk, nullptr);
    if (e) {
      gPtrPool->Free(staging);
      return e;
    }
    u32 shift = newEnd - oldEnd;  // modulo 2^32 either way
    for (u32 i = index + 1; i <= blockCount; i++) blockTable[i] += shift;
    headerDirty = 1;
    if (newEnd < oldEnd) {
      parent->Seek(static_cast<i32>(blockTable[blockCount]), SEEK_FROM_START);
      e = parent->Truncate();
      if (e) {
        gPtrPool->Free(staging);
        return e;
      }
    }
  }
  e = parent->WriteAt(data, blockTable[index], stored, nullptr);
  gPtrPool->Free(staging);
  if (e) return e;
  cacheDirty = 0;
  return nullptr;
}

// Decodes block `index` into the head of the work buffer; the rest of the
// block size is zero.
Error CCompressedFile::ReadBlock(u32 index) {
  u32 blockSize = BlockSize();
  u32 start = blockTable[index];
  u32 end = blockTable[index + 1];
  if (end < start) return ERR_INVALIDFORMAT;
  u32 stored = end - start;
  u32 expected = BlockLength(index);
  if (stored < expected) {
    u8 *tail = buffer + bufferSize - stored;
    // An unchanged run of the codec leaves output bytes as they are; they
    // must read as zeros, not as whatever block was cached before, or a
    // block's contents would depend on the order of the reads.
    memset(buffer, 0, bufferSize - stored);
    if (stored > 0) {
      Error e = parent->ReadAt(tail, start, stored, nullptr);
      if (e) return e;
    }
    u32 length = blockSize;
    Error e = DecompressBlock(tail, stored, buffer, &length);
    if (e) return e;
    if (length > blockSize) return ERR_INVALIDFORMAT;
    memset(buffer + length, 0, blockSize - length);
    return nullptr;
  }
  if (stored > blockSize) return ERR_INVALIDFORMAT;
  if (expected > 0) {
    Error e = parent->ReadAt(buffer, start, expected, nullptr);
    if (e) return e;
  }
  memset(buffer + expected, 0, blockSize - expected);
  return nullptr;
}
