#include "archive/lzss_writer.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "archive/compressed_file.h"
#include "archive/lzss.h"
#include "archive/lzss_encoder.h"
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

// The blocks being worked on, in a ring: the calling thread reads block i
// into slot i mod count, a worker codes it, and the calling thread writes
// the slots out in block order, so the container comes out exactly as one
// thread would write it. Every buffer and every worker's encoder memory is
// taken from gPtrPool by the calling thread before a worker starts; the
// workers touch nothing but their slot and their encoder.
class BlockCoder {
 public:
  struct Slot {
    u8 *plain = nullptr;
    u8 *packed = nullptr;
    u32 length = 0;
    u32 stored = 0;  // bytes to write: of packed when compressed
    bool compressed = false;
    bool done = false;
    Error error = nullptr;
  };

  BlockCoder(u8 code) : mCode(code) {}
  u8 Code() const { return mCode; }
  // Stops the workers (a block being coded is finished first), then frees.
  ~BlockCoder();
  BlockCoder(const BlockCoder &) = delete;
  BlockCoder &operator=(const BlockCoder &) = delete;

  // The slots and encoders for `workers` threads (1: coding on the calling
  // thread) and blocks of up to blockSize bytes; then the threads.
  Error Start(u32 workers, u32 blockSize);
  u32 SlotCount() const { return mSlotCount; }
  Slot *SlotFor(u32 block) { return &mSlots[block % mSlotCount]; }
  // Codes the slot: at once on one thread, else by the next free worker.
  void Submit(Slot *slot);
  // Waits until the slot has been coded.
  void Wait(Slot *slot);

 private:
  void Code(CLzssEncoder *encoder, Slot *slot);
  void Work(u32 index);

  u8 mCode;
  u32 mWorkers = 0;
  u32 mSlotCount = 0;
  Slot *mSlots = nullptr;
  CLzssEncoder *mEncoders = nullptr;
  std::thread *mThreads = nullptr;
  u32 mStarted = 0;
  // Submitted slots not yet taken by a worker, in a ring with room for
  // every slot and one free place (so that full and empty differ).
  Slot **mQueue = nullptr;
  u32 mQueueSize = 0;
  u32 mHead = 0, mTail = 0;
  bool mStop = false;
  std::mutex mLock;
  std::condition_variable mWorkReady;
  std::condition_variable mSlotDone;
};

// Blocks in flight per worker: one being coded, one read and waiting for
// it, one coded and waiting to be written.
const u32 kSlotsPerWorker = 3;

BlockCoder::~BlockCoder() {
  {
    std::lock_guard<std::mutex> hold(mLock);
    mStop = true;
  }
  mWorkReady.notify_all();
  for (u32 i = 0; i < mStarted; i++) mThreads[i].join();
  delete[] mThreads;
  delete[] mEncoders;
  if (mQueue) gPtrPool->Free(mQueue);
  for (u32 i = 0; mSlots && i < mSlotCount; i++) {
    if (mSlots[i].plain) gPtrPool->Free(mSlots[i].plain);
    if (mSlots[i].packed) gPtrPool->Free(mSlots[i].packed);
  }
  delete[] mSlots;
}

Error BlockCoder::Start(u32 workers, u32 blockSize) {
  mWorkers = workers < 1 ? 1 : workers;
  mSlotCount = mWorkers == 1 ? 1 : mWorkers * kSlotsPerWorker;
  mSlots = new Slot[mSlotCount];
  mEncoders = new CLzssEncoder[mWorkers];
  mQueueSize = mSlotCount + 1;
  mQueue = static_cast<Slot **>(gPtrPool->Allocate(mQueueSize * sizeof(Slot *)));
  if (!mQueue) return FERR_NOTENOUGHMEM;
  for (u32 i = 0; i < mSlotCount; i++) {
    mSlots[i].plain = static_cast<u8 *>(gPtrPool->Allocate(blockSize));
    mSlots[i].packed = static_cast<u8 *>(gPtrPool->Allocate(blockSize));
    if (!mSlots[i].plain || !mSlots[i].packed) return FERR_NOTENOUGHMEM;
  }
  for (u32 i = 0; i < mWorkers; i++) {
    Error e = mEncoders[i].Reserve(mCode, blockSize);
    if (e) return e;
  }
  if (mWorkers == 1) return nullptr;
  mThreads = new std::thread[mWorkers];
  for (; mStarted < mWorkers; mStarted++)
    mThreads[mStarted] = std::thread(&BlockCoder::Work, this, mStarted);
  return nullptr;
}

// Room for one byte less than the block: a stream that does not fit would
// not shrink it, and the block is stored raw.
void BlockCoder::Code(CLzssEncoder *encoder, Slot *slot) {
  slot->compressed = false;
  slot->stored = slot->length;
  slot->error = nullptr;
  if (slot->length == 0) return;
  u32 packedLength = slot->length - 1;
  Error e = encoder->Encode(slot->plain, slot->length, slot->packed,
                            &packedLength, mCode, nullptr);
  if (!e) {
    slot->compressed = true;
    slot->stored = packedLength;
  } else if (e != ERR_BUFFERTOOSMALL) {
    slot->error = e;
  }
}

void BlockCoder::Work(u32 index) {
  std::unique_lock<std::mutex> hold(mLock);
  for (;;) {
    mWorkReady.wait(hold, [this] { return mStop || mHead != mTail; });
    if (mStop) return;
    Slot *slot = mQueue[mHead];
    mHead = (mHead + 1) % mQueueSize;
    hold.unlock();
    Code(&mEncoders[index], slot);
    hold.lock();
    slot->done = true;
    mSlotDone.notify_one();
  }
}

void BlockCoder::Submit(Slot *slot) {
  if (mWorkers == 1) {
    Code(&mEncoders[0], slot);
    slot->done = true;
    return;
  }
  {
    std::lock_guard<std::mutex> hold(mLock);
    slot->done = false;
    mQueue[mTail] = slot;
    mTail = (mTail + 1) % mQueueSize;
  }
  mWorkReady.notify_one();
}

void BlockCoder::Wait(Slot *slot) {
  if (mWorkers == 1) return;
  std::unique_lock<std::mutex> hold(mLock);
  mSlotDone.wait(hold, [slot] { return slot->done; });
}

// A container written from bytes put in order: each block, once full, goes
// to the coder, and coded blocks are written out in block order while a
// block of the ring is needed again, so that only the ring's blocks are
// ever in memory.
class BlockStream {
 public:
  BlockStream(u8 code) : mCoder(code) {}
  // Header and a placeholder table for a container of `size` bytes;
  // `options` may be null (one thread, no progress).
  Error Begin(CFile *output, u32 blockSize, u32 size,
              const LzssWriteOptions *options);
  // Where the next bytes go: *free bytes of the block being filled (0 once
  // every block is).
  u8 *Room(u32 *free);
  // n bytes have been put at Room.
  Error Commit(u32 n);
  // Every byte was put: the last blocks, the table, the end.
  Error End();

 private:
  u32 LengthOf(u32 block) const {
    return block + 1 < mBlocks ? mBlockSize : mSize - mBlockSize * block;
  }
  // The block being filled is full: to the coder with it.
  void Submit();
  Error WriteNext();

  BlockCoder mCoder;
  PoolBlocks mMemory;
  CFile *mOutput = nullptr;
  LzssWriteOptions mOptions = {1, {nullptr, nullptr}};
  u32 mBlockSize = 0, mSize = 0, mBlocks = 0;
  u32 *mTable = nullptr;
  u32 mFilling = 0;  // the block being filled
  u32 mFill = 0;     // its bytes so far
  u32 mWritten = 0;  // blocks written out
  u32 mAt = 0;       // where the next block's stored bytes go
};

Error BlockStream::Begin(CFile *output, u32 blockSize, u32 size,
                         const LzssWriteOptions *options) {
  if (!LzssCodeIsValid(mCoder.Code())) return LERR_NOSUCHBITLENGTHS;
  if (blockSize == 0 || blockSize > kMaxBlockSize) return ERR_BADPARAMS;
  mOutput = output;
  if (options) mOptions = *options;
  mBlockSize = blockSize;
  mSize = size;
  mBlocks = size == 0 ? 1 : (size - 1) / blockSize + 1;
  u64 dataStart = CCompressedFile::kHeaderSize + 4ull * mBlocks;
  if (dataStart > 0xFFFFFFFFu || 4ull * mBlocks > 0xFFFFFFFFu)
    return ERR_OUTOFRANGE;
  mAt = static_cast<u32>(dataStart);
  mTable = static_cast<u32 *>(mMemory.Allocate(0, 4 * mBlocks));
  if (!mTable) return FERR_NOTENOUGHMEM;
  // No more workers than blocks: the rest would only hold memory.
  u32 workers = mOptions.workers < mBlocks ? mOptions.workers : mBlocks;
  Error e = mCoder.Start(workers, blockSize);
  if (e) return e;

  u8 header[CCompressedFile::kHeaderSize];
  for (int i = 0; i < 4; i++) header[i] = static_cast<u8>(kLzssMagic[i]);
  PutU32LE(header + 4, size);
  PutU32LE(header + 8, blockSize);
  header[12] = mCoder.Code();
  header[13] = 0;
  e = output->WriteAt(header, 0, sizeof(header), nullptr);
  if (!e) e = WriteTable(output, nullptr, mBlocks);  // placeholder
  if (e) return e;
  if (size == 0) Submit();  // the one block, empty
  return nullptr;
}

u8 *BlockStream::Room(u32 *free) {
  if (mFilling == mBlocks) {
    *free = 0;
    return nullptr;
  }
  *free = LengthOf(mFilling) - mFill;
  return mCoder.SlotFor(mFilling)->plain + mFill;
}

void BlockStream::Submit() {
  BlockCoder::Slot *slot = mCoder.SlotFor(mFilling);
  slot->length = mFill;
  mCoder.Submit(slot);
  mFilling++;
  mFill = 0;
}

Error BlockStream::WriteNext() {
  BlockCoder::Slot *slot = mCoder.SlotFor(mWritten);
  mCoder.Wait(slot);
  if (slot->error) return slot->error;
  const u8 *data = slot->compressed ? slot->packed : slot->plain;
  if (static_cast<u64>(mAt) + slot->stored > 0xFFFFFFFFu) return ERR_OUTOFRANGE;
  mTable[mWritten] = mAt;
  if (slot->stored > 0) {
    Error e = mOutput->WriteAt(data, mAt, slot->stored, nullptr);
    if (e) return e;
  }
  mAt += slot->stored;
  mOptions.progress.Report(static_cast<u64>(mWritten) * mBlockSize + slot->length,
                            mSize);
  mWritten++;
  return nullptr;
}

Error BlockStream::Commit(u32 n) {
  mFill += n;
  if (mFill < LengthOf(mFilling)) return nullptr;
  Submit();
  // Every slot is kept busy; one is taken back only when it is needed.
  while (mFilling < mBlocks && mFilling - mWritten == mCoder.SlotCount()) {
    Error e = WriteNext();
    if (e) return e;
  }
  return nullptr;
}

Error BlockStream::End() {
  if (mFilling < mBlocks) return FERR_EOF;  // fewer bytes than announced
  while (mWritten < mBlocks) {
    Error e = WriteNext();
    if (e) return e;
  }
  Error e = WriteTable(mOutput, mTable, mBlocks);
  if (e) return e;
  e = mOutput->Seek(static_cast<i32>(mAt), SEEK_FROM_START);
  if (!e) e = mOutput->Truncate();
  return e;
}

// What a producer writes to: every byte goes on into the stream.
class StreamSink : public CFile {
 public:
  StreamSink(BlockStream *stream, u32 size)
      : CFile(nullptr, 0), mStream(stream), mSize(size) {
    valid = 1;
  }
  Error Write(const void *buffer, u32 size, u32 *countOut) override {
    const u8 *from = static_cast<const u8 *>(buffer);
    u32 done = 0;
    Error e = nullptr;
    while (!e && done < size) {
      u32 free = 0;
      u8 *room = mStream->Room(&free);
      if (!free) {
        e = ERR_OUTOFRANGE;  // more bytes than announced
        break;
      }
      u32 n = size - done < free ? size - done : free;
      memcpy(room, from + done, n);
      done += n;
      mPut += n;
      e = mStream->Commit(n);
    }
    if (countOut) *countOut = done;
    return e;
  }
  u32 GetSize() override { return mSize; }
  u32 Tell() override { return mPut; }

 private:
  BlockStream *mStream;
  u32 mSize;
  u32 mPut = 0;
};

}  // namespace

Error LzssCompressFile(CFile *input, CFile *output, u8 code, u32 blockSize,
                       const LzssWriteOptions *options) {
  u32 size = input->GetSize();
  BlockStream stream(code);
  Error e = stream.Begin(output, blockSize, size, options);
  // Each block is read straight into its slot.
  for (u32 at = 0; !e && at < size;) {
    u32 free = 0;
    u8 *room = stream.Room(&free);
    e = input->ReadAt(room, at, free, nullptr);
    if (!e) e = stream.Commit(free);
    at += free;
  }
  return e ? e : stream.End();
}

Error LzssCompressStream(u32 size, LzssProducer produce, void *context,
                         CFile *output, u8 code, u32 blockSize,
                         const LzssWriteOptions *options) {
  BlockStream stream(code);
  Error e = stream.Begin(output, blockSize, size, options);
  if (e) return e;
  StreamSink sink(&stream, size);
  e = produce(&sink, context);
  return e ? e : stream.End();
}

Error LzssDecompressFile(CFile *input, CFile *output,
                         const ProgressSink *progress) {
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
    if (progress) progress->Report(at, size);
  }
  Error e = output->Seek(static_cast<i32>(at), SEEK_FROM_START);
  if (!e) e = output->Truncate();
  return e;
}
