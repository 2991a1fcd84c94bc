#include "archive/lzss_writer.h"

#include "archive/compressed_file.h"
#include "archive/lzss.h"
#include "archive/lzss_file.h"
#include "core/endian.h"
#include "core/ptr_pool.h"

namespace {

// The largest block a reader accepts.
const u32 kMaxBlockSize = CCompressedFile::kMaxBlockSize;

// Frees its blocks on every way out.
class PoolBlocks {
 public:
  ~PoolBlocks() {
    for (void *p : mBlocks)
      if (p) gPtrPool->Free(p);
  }
  void *Allocate(int slot, u32 size) {
    mBlocks[slot] = gPtrPool->Allocate(size ? size : 1);
    return mBlocks[slot];
  }

 private:
  void *mBlocks[3] = {nullptr, nullptr, nullptr};
};

Error WriteTable(CFile *output, const u32 *table, u32 count) {
  u8 slice[1024];
  for (u32 i = 0; i < count;) {
    u32 k = 0;
    for (; k < sizeof(slice) / 4 && i + k < count; k++)
      PutU32LE(slice + 4 * k, table ? table[i + k] : 0);
    Error e = output->WriteAt(slice, CCompressedFile::kHeaderSize + 4 * i,
                              4 * k, nullptr);
    if (e) return e;
    i += k;
  }
  return nullptr;
}

}  // namespace

Error LzssCompressFile(CFile *input, CFile *output, u8 code, u32 blockSize) {
  if (!LzssCodeIsValid(code)) return LERR_NOSUCHBITLENGTHS;
  if (blockSize == 0 || blockSize > kMaxBlockSize) return ERR_BADPARAMS;
  u32 size = input->GetSize();
  u32 n = size == 0 ? 1 : (size - 1) / blockSize + 1;
  u64 dataStart = CCompressedFile::kHeaderSize + 4ull * n;
  if (dataStart > 0xFFFFFFFFu || 4ull * n > 0xFFFFFFFFu) return ERR_OUTOFRANGE;
  PoolBlocks blocks;
  u32 *table = static_cast<u32 *>(blocks.Allocate(0, 4 * n));
  u8 *plain = static_cast<u8 *>(blocks.Allocate(1, blockSize));
  u8 *packed = static_cast<u8 *>(blocks.Allocate(2, blockSize));
  if (!table || !plain || !packed) return FERR_NOTENOUGHMEM;

  u8 header[CCompressedFile::kHeaderSize];
  for (int i = 0; i < 4; i++) header[i] = static_cast<u8>(kLzssMagic[i]);
  PutU32LE(header + 4, size);
  PutU32LE(header + 8, blockSize);
  header[12] = code;
  header[13] = 0;
  Error e = output->WriteAt(header, 0, sizeof(header), nullptr);
  if (!e) e = WriteTable(output, nullptr, n);  // placeholder
  if (e) return e;

  u32 at = static_cast<u32>(dataStart);
  for (u32 i = 0; i < n; i++) {
    u32 length = i + 1 < n ? blockSize : size - blockSize * i;
    if (length > 0) {
      e = input->ReadAt(plain, blockSize * i, length, nullptr);
      if (e) return e;
    }
    // Room for one byte less than the block: a stream that does not fit
    // would not shrink it, and the block is stored raw.
    const u8 *data = plain;
    u32 stored = length;
    if (length > 0) {
      u32 packedLength = length - 1;
      e = LzssEncode(plain, length, packed, &packedLength, code, nullptr);
      if (!e) {
        data = packed;
        stored = packedLength;
      } else if (e != ERR_BUFFERTOOSMALL) {
        return e;
      }
    }
    if (static_cast<u64>(at) + stored > 0xFFFFFFFFu) return ERR_OUTOFRANGE;
    table[i] = at;
    if (stored > 0) {
      e = output->WriteAt(data, at, stored, nullptr);
      if (e) return e;
    }
    at += stored;
  }
  e = WriteTable(output, table, n);
  if (e) return e;
  e = output->Seek(static_cast<i32>(at), SEEK_FROM_START);
  if (!e) e = output->Truncate();
  return e;
}

Error LzssDecompressFile(CFile *input, CFile *output) {
  CLzssFile container(input, 0);
  if (!container.valid) return container.ConstructionError();
  u32 chunk = container.BlockSize();
  PoolBlocks blocks;
  u8 *plain = static_cast<u8 *>(blocks.Allocate(0, chunk));
  if (!plain) return FERR_NOTENOUGHMEM;
  u32 size = container.GetSize();
  u32 at = 0;
  while (at < size) {
    u32 n = size - at < chunk ? size - at : chunk;
    Error e = container.ReadAt(plain, at, n, nullptr);
    if (!e) e = output->WriteAt(plain, at, n, nullptr);
    if (e) return e;
    at += n;
  }
  Error e = output->Seek(static_cast<i32>(at), SEEK_FROM_START);
  if (!e) e = output->Truncate();
  return e;
}
