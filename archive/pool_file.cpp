#include "archive/pool_file.h"

#include <cstring>

#include "core/endian.h"
#include "core/ptr_pool.h"
#include "fs/file.h"

static const char kCBFHPName[] = "CBFHP";
const char *const CBFHP::sClassName = kCBFHPName;

// Header fields (offsets in block 0).
static const u32 kHeaderSize = 32;
static const u32 kOffMagic = 0;
static const u32 kOffBlockSize = 4;
static const u32 kOffBlockCount = 8;
static const u32 kOffMaxBlocks = 12;
static const u32 kOffFreeCount = 16;
static const u32 kOffFreeHead = 20;
static const u32 kOffHeadSize = 24;
static const u32 kOffUserValue = 28;
static const char kMagic[4] = {'H', 'P', 'F', 'S'};

// Head block fields.
static const u32 kOffDataSize = 0;
static const u32 kOffDepth = 4;
static const u32 kMinHeadSize = 8;  // dataSize and depth, padded to 4

// Capacities beyond this many blocks are never reachable (2 GiB / 32).
static const u64 kCapacityCeiling = u64(1) << 40;

const char *CBFHP::GetClassName() const { return sClassName; }

void *CBFHP::Cast(const char *name) {
  if (name == sClassName) return this;
  return CFileHandlePool::Cast(name);
}

CBFHP::CBFHP(CPtrPool *copyPool, u32 ownsPool)
    : CFileHandlePool(copyPool, ownsPool) {}

CBFHP::~CBFHP() {
  if (mFile) Flush();
  ReleaseBuffers();
  delete mFile;
}

void CBFHP::ReleaseBuffers() {
  if (mBuffers) gPtrPool->Free(mBuffers);
  mBuffers = nullptr;
  for (int s = 0; s < kSlots; s++) {
    mSlotData[s] = nullptr;
    mSlotBlock[s] = 0;
    mSlotModified[s] = 0;
  }
}

// ---- Attaching ---------------------------------------------------------

Error CBFHP::AttachFile(CFile *file) {
  if (!file) return ERR_BADPARAMS;
  if (mFile) Flush();
  ReleaseBuffers();
  delete mFile;
  mFile = nullptr;

  u8 header[kHeaderSize];
  Error e = file->ReadAt(header, 0, kHeaderSize, nullptr);
  if (e) return mError = e;
  if (memcmp(header + kOffMagic, kMagic, 4) != 0)
    return mError = ERR_INVALIDFORMAT;
  u32 blockSize = GetU32LE(header + kOffBlockSize);
  u32 blockCount = GetU32LE(header + kOffBlockCount);
  u32 maxBlocks = GetU32LE(header + kOffMaxBlocks);
  u32 freeCount = GetU32LE(header + kOffFreeCount);
  u32 freeHead = GetU32LE(header + kOffFreeHead);
  u32 headSize = GetU32LE(header + kOffHeadSize);
  // Anything that would let a later step index outside a block or a file
  // position overflow is refused here.
  bool sane = blockSize % 4 == 0 && blockSize >= kPoolMinBlockSize &&
              blockSize <= kPoolMaxBlockSize && headSize % 4 == 0 &&
              headSize >= kMinHeadSize && headSize < blockSize &&
              blockCount >= 1 && blockCount <= maxBlocks &&
              blockCount <= kPoolMaxBytes / blockSize &&
              freeCount < blockCount &&
              (freeCount == 0 || (freeHead != 0 && freeHead < blockCount));
  if (!sane) return mError = ERR_INVALIDFORMAT;

  mBuffers = static_cast<u8 *>(gPtrPool->Allocate(kSlots * blockSize));
  if (!mBuffers) return mError = ERR_ALLOCFAIL;
  for (int s = 0; s < kSlots; s++) mSlotData[s] = mBuffers + s * blockSize;

  memcpy(mMagic, header + kOffMagic, 4);
  mBlockSize = blockSize;
  mBlockCount = blockCount;
  mMaxBlocks = maxBlocks;
  mFreeCount = freeCount;
  mFreeHead = freeHead;
  mHeadSize = headSize;
  mUserValue = GetU32LE(header + kOffUserValue);
  mHeaderModified = 0;
  mE = blockSize / 4;
  mR = (blockSize - headSize) / 4;
  mRootPos = headSize / 4;
  mLimit = kPoolMaxBytes / blockSize;
  if (maxBlocks < mLimit) mLimit = maxBlocks;
  mDeferredError = nullptr;
  mFile = file;
  return nullptr;
}

// ---- Cache slots and the free list ----------------------------------------

u32 CBFHP::Entry(int s, u32 position) const {
  return GetU32LE(mSlotData[s] + 4 * position);
}

void CBFHP::SetEntry(int s, u32 position, u32 value) {
  PutU32LE(mSlotData[s] + 4 * position, value);
  mSlotModified[s] = 1;
}

Error CBFHP::TakeSlot(int s, u32 block, bool read) {
  if (mSlotBlock[s] == block && read) return nullptr;
  if (mSlotModified[s] && mSlotBlock[s] != 0) {
    Error e = mFile->WriteAt(mSlotData[s], mSlotBlock[s] * mBlockSize,
                             mBlockSize, nullptr);
    if (e && !mDeferredError) mDeferredError = e;
  }
  mSlotBlock[s] = block;
  mSlotModified[s] = 0;
  if (block == 0 || !read) return nullptr;
  u32 got = 0;
  Error e = mFile->ReadAt(mSlotData[s], block * mBlockSize, mBlockSize, &got);
  // A block of the pool that was never written lies past the file's end.
  if (e == FERR_EOF && got <= mBlockSize) {
    memset(mSlotData[s] + got, 0, mBlockSize - got);
    e = nullptr;
  }
  // Never leave a slot claiming a block whose bytes it does not hold.
  if (e) mSlotBlock[s] = 0;
  return e;
}

void CBFHP::DropSlotsHolding(u32 block) {
  for (int s = 0; s < kSlots; s++) {
    if (mSlotBlock[s] == block) {
      mSlotBlock[s] = 0;
      mSlotModified[s] = 0;
    }
  }
}

u32 CBFHP::TakeFreeBlock() {
  if (mFreeCount == 0) {
    if (mBlockCount >= mLimit) return 0;
    mHeaderModified = 1;
    return mBlockCount++;
  }
  if (!ValidBlock(mFreeHead)) {
    mError = ERR_INVALIDFORMAT;
    return 0;
  }
  Error e = TakeSlot(kFreeSlot, mFreeHead, true);
  if (e) {
    mError = e;
    return 0;
  }
  u32 i = (mFreeCount - 1) % mE;
  u32 result;
  if (i != 0) {
    result = Entry(kFreeSlot, i);
    if (!ValidBlock(result) || result == mFreeHead) {
      mError = ERR_INVALIDFORMAT;
      return 0;
    }
  } else {
    // The free-list block itself is the last free block it describes.
    result = mFreeHead;
    mFreeHead = Entry(kFreeSlot, 0);
    mSlotBlock[kFreeSlot] = 0;
    mSlotModified[kFreeSlot] = 0;
  }
  mFreeCount--;
  mHeaderModified = 1;
  return result;
}

void CBFHP::ReleaseBlock(u32 block) {
  if (block == 0 || block >= mBlockCount) return;
  // Whatever a slot holds of it is stale from now on.
  DropSlotsHolding(block);
  mHeaderModified = 1;
  if (block == mBlockCount - 1) {
    mBlockCount--;
    Error e = mFile->Seek(static_cast<i32>(mBlockCount * mBlockSize), 0);
    if (!e) e = mFile->Truncate();
    if (e && !mDeferredError) mDeferredError = e;
    return;
  }
  if (mFreeCount == 0) {
    mFreeHead = block;
    mFreeCount = 1;
    return;
  }
  u32 i = (mFreeCount - 1) % mE;
  if (i == mE - 1) {
    // The current free-list block is full: the released block starts a new
    // one that links to it.
    TakeSlot(kFreeSlot, block, false);
    memset(mSlotData[kFreeSlot], 0, mBlockSize);
    SetEntry(kFreeSlot, 0, mFreeHead);
    mFreeHead = block;
  } else {
    Error e = ValidBlock(mFreeHead) ? TakeSlot(kFreeSlot, mFreeHead, true)
                                    : ERR_INVALIDFORMAT;
    if (e) {
      // The block is lost to the pool, but nothing wrong gets recorded.
      if (!mDeferredError) mDeferredError = e;
      return;
    }
    SetEntry(kFreeSlot, i + 1, block);
  }
  mFreeCount++;
}

// ---- Index trees -----------------------------------------------------------

u64 CBFHP::Capacity(u32 depth) const {
  u64 c = mR;
  for (u32 i = 0; i < depth && c < kCapacityCeiling; i++) c *= mE;
  return c < kCapacityCeiling ? c : kCapacityCeiling;
}

// Index blocks of a tree of `depth` levels holding `dataBlocks` data blocks:
// one level-j block per E^(depth-j+1) data blocks, rounded up.
u64 CBFHP::IndexBlocks(u64 dataBlocks, u32 depth) const {
  u64 total = 0;
  u64 span = 1;
  for (u32 m = 1; m <= depth; m++) {
    span = span < kCapacityCeiling ? span * mE : span;
    total += (dataBlocks + span - 1) / span;
  }
  return total;
}

// p[0] is the root digit (without headSize/4), p[j] the position in the
// level-j index block.
void CBFHP::Digits(u64 k, u32 depth, u32 *p) const {
  for (u32 j = depth; j >= 1; j--) {
    p[j] = static_cast<u32>(k % mE);
    k /= mE;
  }
  p[0] = static_cast<u32>(k);
}

Error CBFHP::LoadHead(Handle h, u32 *sizeOut, u32 *depthOut) {
  if (h > 0xFFFFFFFFu || !ValidBlock(static_cast<u32>(h))) return ERR_BADPARAMS;
  Error e = TakeSlot(kHeadSlot, static_cast<u32>(h), true);
  if (e) return e;
  u32 size = GetU32LE(mSlotData[kHeadSlot] + kOffDataSize);
  u32 depth = GetU16LE(mSlotData[kHeadSlot] + kOffDepth);
  if (depth > kPoolMaxDepth) return ERR_BADPARAMS;
  u64 blocks = size / mBlockSize + (size % mBlockSize != 0);
  if (blocks == 0) depth = 0;
  if (blocks > Capacity(depth) || blocks >= mBlockCount)
    return ERR_INVALIDFORMAT;
  *sizeOut = size;
  *depthOut = depth;
  return nullptr;
}

// Brings the index blocks of levels 1..levels along path p into their slots.
Error CBFHP::Descend(const u32 *p, u32 levels) {
  for (u32 j = 1; j <= levels; j++) {
    u32 block = j == 1 ? Entry(kHeadSlot, mRootPos + p[0])
                       : Entry(kHeadSlot + j - 1, p[j - 1]);
    if (!ValidBlock(block)) return ERR_INVALIDFORMAT;
    Error e = TakeSlot(kHeadSlot + j, block, true);
    if (e) return e;
  }
  return nullptr;
}

Error CBFHP::DataBlock(u64 k, u32 depth, u32 *blockOut) {
  u32 p[kPoolMaxDepth + 1];
  Digits(k, depth, p);
  Error e = Descend(p, depth);
  if (e) return e;
  u32 block = depth == 0 ? Entry(kHeadSlot, mRootPos + p[0])
                         : Entry(kHeadSlot + depth, p[depth]);
  if (!ValidBlock(block)) return ERR_INVALIDFORMAT;
  *blockOut = block;
  return nullptr;
}

// Adds data block k to a tree that holds k blocks. All blocks the step
// needs are taken before anything is written, so a failure changes nothing.
Error CBFHP::GrowOne(u64 k, u32 *depth) {
  u32 d = *depth;
  if (k == 0) {
    u32 g = TakeFreeBlock();
    if (!g) return mError ? mError : ERR_ALLOCFAIL;
    SetEntry(kHeadSlot, mRootPos, g);
    return nullptr;
  }
  bool newLevel = k == Capacity(d);
  u32 D = newLevel ? d + 1 : d;
  if (D > kPoolMaxDepth) return ERR_OUTOFRANGE;
  u32 p[kPoolMaxDepth + 1];
  Digits(k, D, p);

  // The data block first, then new index blocks from the deepest level up
  // (every level whose lower digits are all zero starts a new block), then
  // the block of the new level.
  u32 taken[kPoolMaxDepth + 2];
  u32 count = 0;
  u32 t = D;
  taken[count++] = TakeFreeBlock();
  while (taken[count - 1] != 0 && t >= 1 && p[t] == 0) {
    taken[count++] = TakeFreeBlock();
    t--;
  }
  if (taken[count - 1] != 0 && newLevel) taken[count++] = TakeFreeBlock();
  if (taken[count - 1] == 0) {
    Error e = mError ? mError : ERR_ALLOCFAIL;
    for (u32 i = count - 1; i-- > 0;) ReleaseBlock(taken[i]);
    return e;
  }

  if (newLevel) {
    // Levels 1..d move one level down; the new level-1 block takes the
    // root's entries and the root's first position points at it.
    u32 Y = taken[count - 1];
    TakeSlot(kHeadSlot + d + 1, 0, false);
    u8 *spare = mSlotData[kHeadSlot + d + 1];
    for (u32 s = kHeadSlot + d + 1; s > kHeadSlot + 1; s--) {
      mSlotData[s] = mSlotData[s - 1];
      mSlotBlock[s] = mSlotBlock[s - 1];
      mSlotModified[s] = mSlotModified[s - 1];
    }
    mSlotData[kHeadSlot + 1] = spare;
    mSlotBlock[kHeadSlot + 1] = 0;
    mSlotModified[kHeadSlot + 1] = 0;
    TakeSlot(kHeadSlot + 1, Y, false);
    memset(mSlotData[kHeadSlot + 1], 0, mBlockSize);
    memcpy(mSlotData[kHeadSlot + 1], mSlotData[kHeadSlot] + 4 * mRootPos,
           4 * mR);
    mSlotModified[kHeadSlot + 1] = 1;
    SetEntry(kHeadSlot, mRootPos, Y);
    PutU16LE(mSlotData[kHeadSlot] + kOffDepth, static_cast<u16>(D));
    *depth = D;
  }

  // Chain the new index blocks: each holds the one below at position 0.
  u32 value = taken[0];
  for (u32 j = D, i = 1; j > t; j--, i++) {
    TakeSlot(kHeadSlot + j, taken[i], false);
    memset(mSlotData[kHeadSlot + j], 0, mBlockSize);
    SetEntry(kHeadSlot + j, 0, value);
    value = taken[i];
  }
  if (t == 0) {
    SetEntry(kHeadSlot, mRootPos + p[0], value);
    return nullptr;
  }
  Error e = Descend(p, t);
  if (e) return e;
  SetEntry(kHeadSlot + t, p[t], value);
  return nullptr;
}

// Removes data block k, the last of the tree, with the index blocks that
// held nothing else.
Error CBFHP::ShrinkOne(u64 k, u32 depth) {
  u32 p[kPoolMaxDepth + 1];
  Digits(k, depth, p);
  Error e = Descend(p, depth);
  if (e) return e;
  u32 data = depth == 0 ? Entry(kHeadSlot, mRootPos + p[0])
                        : Entry(kHeadSlot + depth, p[depth]);
  // Collect first: releasing drops the slots the numbers come from.
  u32 index[kPoolMaxDepth + 1];
  u32 count = 0;
  for (u32 j = depth; j >= 1 && p[j] == 0; j--)
    index[count++] = mSlotBlock[kHeadSlot + j];
  ReleaseBlock(data);
  for (u32 i = 0; i < count; i++) ReleaseBlock(index[i]);
  return nullptr;
}

// ---- Handle operations -----------------------------------------------------

Handle CBFHP::Allocate(u32 size) {
  // A full pool is told by the result alone, never by a stale code.
  mError = nullptr;
  if (!mFile) {
    mError = ERR_UNKNOWN;
    return 0;
  }
  u32 h = TakeFreeBlock();
  if (!h) return 0;
  TakeSlot(kHeadSlot, h, false);
  memset(mSlotData[kHeadSlot], 0, mBlockSize);
  mSlotModified[kHeadSlot] = 1;
  Handle result = Reallocate(h, size);
  // A head block whose growth failed goes back instead of leaking.
  if (!result) ReleaseBlock(h);
  return result;
}

Handle CBFHP::Reallocate(Handle h, u32 size) {
  mError = nullptr;
  if (!mFile) {
    mError = ERR_UNKNOWN;
    return 0;
  }
  if (size == 0xFFFFFFFFu) size = 0;
  u32 oldSize, depth;
  Error e = LoadHead(h, &oldSize, &depth);
  if (e) {
    mError = e;
    return 0;
  }
  if (size == oldSize) return h;
  u64 newBlocks = size / mBlockSize + (size % mBlockSize != 0);
  u64 oldBlocks = oldSize / mBlockSize + (oldSize % mBlockSize != 0);
  u8 *head = mSlotData[kHeadSlot];

  if (newBlocks > oldBlocks) {
    u32 target = depth;
    while (newBlocks > Capacity(target)) {
      if (++target > kPoolMaxDepth) return 0;
    }
    u64 need = (newBlocks - oldBlocks) + IndexBlocks(newBlocks, target) -
               IndexBlocks(oldBlocks, depth);
    u64 available = u64(mFreeCount) + (mLimit - mBlockCount);
    if (need > available) return 0;
    if (oldBlocks == 0) PutU16LE(head + kOffDepth, 0);
    mSlotModified[kHeadSlot] = 1;
    for (u64 k = oldBlocks; k < newBlocks; k++) {
      e = GrowOne(k, &depth);
      if (e) {
        // Undo the blocks added so far; the size never changed.
        while (k-- > oldBlocks) ShrinkOne(k, depth);
        if (oldBlocks == 0) PutU16LE(mSlotData[kHeadSlot] + kOffDepth, 0);
        mSlotModified[kHeadSlot] = 1;
        mError = e;
        return 0;
      }
    }
  } else if (newBlocks < oldBlocks) {
    for (u64 k = oldBlocks; k-- > newBlocks;) {
      e = ShrinkOne(k, depth);
      if (e) {
        // Damaged tree: keep what is still reachable.
        u64 kept = (k + 1) * mBlockSize;
        if (kept < oldSize) PutU32LE(mSlotData[kHeadSlot] + kOffDataSize,
                                     static_cast<u32>(kept));
        mSlotModified[kHeadSlot] = 1;
        mError = e;
        return 0;
      }
    }
    if (newBlocks == 0) PutU16LE(mSlotData[kHeadSlot] + kOffDepth, 0);
  }
  PutU32LE(mSlotData[kHeadSlot] + kOffDataSize, size);
  mSlotModified[kHeadSlot] = 1;
  return h;
}

void CBFHP::Free(Handle h) {
  if (!mFile) return;
  u32 size, depth;
  if (LoadHead(h, &size, &depth) != nullptr) return;
  Reallocate(h, 0);
  ReleaseBlock(static_cast<u32>(h));
}

u32 CBFHP::GetSize(Handle h) {
  if (!mFile) {
    mError = ERR_UNKNOWN;
    return 0;
  }
  u32 size, depth;
  mError = LoadHead(h, &size, &depth);
  return mError ? 0 : size;
}

Error CBFHP::Transfer(u32 position, u8 *buffer, u32 count, bool write) {
  Error e;
  if (write) {
    e = mFile->WriteAt(buffer, position, count, nullptr);
  } else {
    u32 got = 0;
    e = mFile->ReadAt(buffer, position, count, &got);
    // Blocks of the pool that the file does not hold yet read as zeros.
    if (e == FERR_EOF && got <= count) {
      memset(buffer + got, 0, count - got);
      e = nullptr;
    }
  }
  return mError = e;
}

Error CBFHP::ReadWrite(Handle h, u8 *buffer, u32 offset, u32 count,
                       bool write) {
  if (!mFile) return mError = ERR_UNKNOWN;
  u32 size, depth;
  Error e = LoadHead(h, &size, &depth);
  if (e == ERR_BADPARAMS) return e;
  if (e) return mError = e;
  if (offset >= size) return ERR_BADPARAMS;
  if (count > size - offset) count = size - offset;
  if (count == 0) return nullptr;

  u64 k = offset / mBlockSize;
  u32 block;
  e = DataBlock(k, depth, &block);
  if (e) return mError = e;
  // A run of blocks lying one after another in the file goes in one access.
  u32 runStart = block * mBlockSize + offset % mBlockSize;
  u32 runLength = mBlockSize - offset % mBlockSize;
  u32 last = block;
  while (count > runLength) {
    u32 next;
    e = DataBlock(++k, depth, &next);
    if (e) return mError = e;
    if (next == last + 1) {
      runLength += mBlockSize;
    } else {
      e = Transfer(runStart, buffer, runLength, write);
      if (e) return e;
      buffer += runLength;
      count -= runLength;
      runStart = next * mBlockSize;
      runLength = mBlockSize;
    }
    last = next;
  }
  return Transfer(runStart, buffer, count, write);
}

Error CBFHP::Read(Handle h, void *dst, u32 offset, u32 count) {
  return ReadWrite(h, static_cast<u8 *>(dst), offset, count, false);
}

Error CBFHP::Write(Handle h, const void *src, u32 offset, u32 count) {
  // The buffer is only read from when writing.
  return ReadWrite(h, static_cast<u8 *>(const_cast<void *>(src)), offset,
                   count, true);
}

Error CBFHP::Flush() {
  if (!mFile) return mError = ERR_UNKNOWN;
  if (mHeaderModified) {
    u8 header[kHeaderSize];
    memcpy(header + kOffMagic, mMagic, 4);
    PutU32LE(header + kOffBlockSize, mBlockSize);
    PutU32LE(header + kOffBlockCount, mBlockCount);
    PutU32LE(header + kOffMaxBlocks, mMaxBlocks);
    PutU32LE(header + kOffFreeCount, mFreeCount);
    PutU32LE(header + kOffFreeHead, mFreeHead);
    PutU32LE(header + kOffHeadSize, mHeadSize);
    PutU32LE(header + kOffUserValue, mUserValue);
    mError = mFile->WriteAt(header, 0, kHeaderSize, nullptr);
    if (mError) return mError;
    mHeaderModified = 0;
  }
  for (int s = 0; s < kSlots; s++)
    if (mSlotModified[s]) TakeSlot(s, mSlotBlock[s], false);
  mError = mFile->Flush();
  if (!mError && mDeferredError) mError = mDeferredError;
  mDeferredError = nullptr;
  return mError;
}

void CBFHP::SetUserValue(u32 value) {
  if (value != mUserValue) mHeaderModified = 1;
  mUserValue = value;
}

u32 CBFHP::GetUserValue() { return mUserValue; }
