// CBFHP: a handle pool kept in a file of fixed-size blocks.
//
// The file is an array of B-byte blocks; block 0 holds the 32-byte header
// ("HPFS", B, blockCount, maxBlocks, freeCount, freeHead, headSize,
// userValue, all u32 little-endian). A handle is the number of its head
// block: u32 dataSize, u16 depth, padding up to headSize, then the root
// index of R = (B - headSize) / 4 block numbers. The handle's bytes live in
// data blocks reached through the root directly (depth 0) or through up to
// five levels of index blocks of E = B / 4 block numbers each; data block k
// sits at the path of k's digits in base E. Free blocks form a chain of
// free-list blocks (position 0: next free-list block, positions 1..E-1: free
// block numbers); free-list blocks count as free themselves. Block 0 never
// names a data, index, head or free-list block.
//
// Header blocks, head blocks, index blocks and the current free-list block
// are cached in seven one-block slots; data is read and written straight to
// the file, consecutive blocks in one access.
//
// Damaged files fail with INVALIDFORMAT (or BADPARAMS where the format's
// users expect it), never with an access outside a buffer: every block
// number taken from the file is checked against blockCount before use.
#pragma once

#include "core/handle_pool.h"

class CFile;

// Accepted block sizes: a multiple of 4 from 32 bytes to 1 MiB.
const u32 kPoolMinBlockSize = 32;
const u32 kPoolMaxBlockSize = 1u << 20;
// The deepest index tree a handle may have.
const u32 kPoolMaxDepth = 5;
// File positions are signed 32-bit in seeks, so a pool ends at 2 GiB.
const u32 kPoolMaxBytes = 0x7FFFFFFFu;

class CBFHP : public CFileHandlePool {
 public:
  static const char *const sClassName;  // "CBFHP"
  const char *GetClassName() const override;
  void *Cast(const char *name) override;

  // As CFileHandlePool's; no file is attached yet.
  CBFHP(CPtrPool *copyPool, u32 ownsPool);
  // Flushes, then deletes the attached file.
  ~CBFHP() override;

  // Works on `file` from now on and owns it on success. Null: BADPARAMS; the
  // header's read error unchanged; a bad signature or an impossible header:
  // INVALIDFORMAT; no buffers: ALLOCFAIL. On failure the caller keeps the
  // file (and any previously attached file is gone).
  Error AttachFile(CFile *file);

  // A new handle of `size` bytes (0xFFFFFFFF counts as 0); 0 when the pool
  // is full or damaged.
  Handle Allocate(u32 size) override;
  // Resizes h; h, or 0 when the blocks (data and index) do not suffice, the
  // tree would need more than five levels, or the pool is damaged. A refused
  // growth leaves the handle as it was.
  Handle Reallocate(Handle h, u32 size) override;
  // Releases h and all its blocks.
  void Free(Handle h) override;
  // dataSize of h; 0 (error field set) for a bad handle.
  u32 GetSize(Handle h) override;
  // Straight from the file; offset at or past the end, a bad handle or a
  // depth over 5: BADPARAMS; the count is cut at the end. Blocks inside the
  // pool that the file does not yet hold read as zeros.
  Error Read(Handle h, void *dst, u32 offset, u32 count) override;
  // Straight to the file, likewise; never changes the size.
  Error Write(Handle h, const void *src, u32 offset, u32 count) override;
  // Header, cached blocks, then the file's own flush. No file: "Unknown
  // error". A write-back that failed since the last Flush is reported here.
  Error Flush() override;
  void SetUserValue(u32 value) override;
  u32 GetUserValue() override;

  // The header as it stands in memory (for tools and tests).
  u32 BlockSize() const { return mBlockSize; }
  u32 BlockCount() const { return mBlockCount; }
  u32 MaxBlocks() const { return mMaxBlocks; }
  u32 FreeCount() const { return mFreeCount; }
  u32 HeadSize() const { return mHeadSize; }
  CFile *File() const { return mFile; }

 private:
  static const int kSlots = 7;
  static const int kFreeSlot = 0;
  static const int kHeadSlot = 1;  // slot 1 + j holds the level-j index

  Error TakeSlot(int s, u32 block, bool read);
  void DropSlotsHolding(u32 block);
  u32 TakeFreeBlock();
  void ReleaseBlock(u32 block);
  bool ValidBlock(u32 block) const { return block != 0 && block < mBlockCount; }
  u64 Capacity(u32 depth) const;
  u64 IndexBlocks(u64 dataBlocks, u32 depth) const;
  void Digits(u64 k, u32 depth, u32 *p) const;
  Error LoadHead(Handle h, u32 *sizeOut, u32 *depthOut);
  Error Descend(const u32 *p, u32 levels);
  Error DataBlock(u64 k, u32 depth, u32 *blockOut);
  Error GrowOne(u64 k, u32 *depth);
  Error ShrinkOne(u64 k, u32 depth);
  Error Transfer(u32 position, u8 *buffer, u32 count, bool write);
  Error ReadWrite(Handle h, u8 *buffer, u32 offset, u32 count, bool write);
  void ReleaseBuffers();
  u32 Entry(int s, u32 position) const;
  void SetEntry(int s, u32 position, u32 value);

  CFile *mFile = nullptr;
  // Header copy.
  u8 mMagic[4] = {0, 0, 0, 0};
  u32 mBlockSize = 0;
  u32 mBlockCount = 0;
  u32 mMaxBlocks = 0;
  u32 mFreeCount = 0;
  u32 mFreeHead = 0;
  u32 mHeadSize = 0;
  u32 mUserValue = 0;
  u32 mHeaderModified = 0;
  // Cache slots: one B-byte buffer each, carved from one allocation.
  u8 *mBuffers = nullptr;
  u8 *mSlotData[kSlots] = {};
  u32 mSlotBlock[kSlots] = {};
  u32 mSlotModified[kSlots] = {};
  u32 mE = 0;        // block numbers per index block
  u32 mR = 0;        // block numbers in a root index
  u32 mRootPos = 0;  // first root position: headSize / 4
  u32 mLimit = 0;    // blockCount never exceeds this
  // First failure of a write that no caller could be told about.
  Error mDeferredError = nullptr;
};
