// CCompressedFile: a container of independently compressed fixed-size blocks
// seen as an ordinary readable, writable, seekable file of its uncompressed
// contents. The codec and the signature come from a derived class.
//
// Container layout (all integers little-endian, offsets from the start of
// the parent file):
//   0   4      signature (the derived class's four bytes)
//   4   4      uncompressed size
//   8   4      block size; every block but the last holds this many bytes
//   12  1      codec parameter byte (the derived class's)
//   13  1      reserved, kept as read
//   14  4 * n  block table: offset of each block's stored bytes, with
//              n = (size - 1) / block size + 1 (1 for an empty file)
//   ...        stored blocks in order, each right after the previous; the
//              last ends at the end of the parent
// A block's stored length is the next offset minus its own. Shorter than
// the block's uncompressed length: compressed (0 = empty, reads as zeros).
// From that length up to the block size: raw. Longer than the block size:
// damaged.
//
// One block is kept decoded in a work buffer. A block is decoded in place:
// its stored bytes are read to the tail of the buffer and decoded towards
// its head, which the derived class's buffer ratio makes safe. A written
// block is recompressed when it is displaced or flushed; following blocks
// are moved in the parent when its stored length changes. The header and
// table are rewritten by Flush. A file that is only read never writes to its
// parent.
#pragma once

#include "fs/file.h"

class CCompressedFile : public CFile {
 public:
  static const char *const sClassName;  // "CCompressedFile"
  const char *GetClassName() const override;
  void *Cast(const char *name) override;

  static const u32 kHeaderSize = 14;
  // The largest block size accepted: far above the 32 KiB of this system's
  // containers, and low enough that a damaged header cannot make a reader
  // allocate gigabytes for its work buffer.
  static const u32 kMaxBlockSize = 1u << 24;

  // Reads the header and block table through `parent`. The work buffer is
  // blockSize * numerator / denominator + slack bytes. `valid` is 1 when the
  // container was accepted; otherwise ConstructionError() says why and the
  // object must only be destroyed.
  CCompressedFile(const char *expectedMagic, CFile *parent, u32 ownsParent,
                  u32 numerator, u32 denominator, u32 slack);
  // Frees the table and buffer; does not flush (the most-derived class
  // does, as storing needs CompressBlock).
  ~CCompressedFile() override;

  // Start beyond the end: EOF, count 0. Running past the end: EOF with
  // nothing copied when countOut is null, else a shorter successful read.
  Error Read(void *buffer, u32 size, u32 *countOut) override;
  // Grows the file when writing past its end (a gap reads as zeros).
  Error Write(const void *buffer, u32 size, u32 *countOut) override;
  // Never fails; positions beyond the end are allowed.
  Error Seek(i32 offset, i16 origin) override;
  // The uncompressed size.
  u32 GetSize() override;
  u32 Tell() override;
  // Stores the cached block if dirty, then rewrites header and table when
  // they changed (moving the stored blocks if the table's size changed).
  Error Flush() override;
  // SetSize(current position).
  Error Truncate() override;

  // Resizes the block table to `count` blocks; new blocks are empty.
  // No memory: NOTENOUGHMEM.
  virtual Error SetBlockCount(u32 count);
  // Grows (zeros) or shrinks the uncompressed contents; shrinking cuts the
  // parent after the last remaining block.
  virtual Error SetSize(u32 newSize);
  // Stores the cached block if dirty, then caches block `index`, decoded
  // when readContents is set (else its old buffer bytes stay, for a caller
  // about to overwrite it all). On failure the cache is left empty.
  virtual Error LoadBlock(i32 index, u32 readContents);
  // Compresses sourceLength bytes; *lengthInOut: capacity in, length out.
  virtual Error CompressBlock(const void *source, u32 sourceLength,
                              void *destination, u32 *lengthInOut) = 0;
  // Decompresses one stored block; *lengthInOut: capacity in, length out.
  virtual Error DecompressBlock(const void *source, u32 sourceLength,
                                void *destination, u32 *lengthInOut) = 0;

  u32 BlockSize() const;
  u8 CodecByte() const { return header[12]; }
  u32 BlockCount() const { return blockCount; }
  // Offset of block i's stored bytes (i = BlockCount(): the end).
  u32 BlockOffset(u32 i) const { return blockTable[i]; }
  // Why construction failed (null when valid).
  Error ConstructionError() const { return constructionError; }

 protected:
  u32 UncompressedSize() const;
  void SetUncompressedSize(u32 size);
  // Uncompressed length of block `index`.
  u32 BlockLength(u32 index) const;
  Error StoreCachedBlock();
  Error ReadBlock(u32 index);

  u8 header[kHeaderSize] = {};
  u32 headerDirty = 0;
  u32 *blockTable = nullptr;
  u32 tableCapacity = 0;
  u32 blockCount = 0;
  i32 cachedBlock = -1;
  u32 cacheDirty = 0;
  u32 bufferSize = 0;
  u8 *buffer = nullptr;
  u32 position = 0;
  const char *expectedMagic;
  Error constructionError = nullptr;
};
