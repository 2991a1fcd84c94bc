#include "archive/lzss_writer.h"

#include <condition_variable>
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

}  // namespace

Error LzssCompressFile(CFile *input, CFile *output, u8 code, u32 blockSize,
                       const LzssWriteOptions *options) {
  if (!LzssCodeIsValid(code)) return LERR_NOSUCHBITLENGTHS;
  if (blockSize == 0 || blockSize > kMaxBlockSize) return ERR_BADPARAMS;
  LzssWriteOptions defaults = {1, {nullptr, nullptr}};
  if (!options) options = &defaults;
  u32 size = input->GetSize();
  u32 n = size == 0 ? 1 : (size - 1) / blockSize + 1;
  u64 dataStart = CCompressedFile::kHeaderSize + 4ull * n;
  if (dataStart > 0xFFFFFFFFu || 4ull * n > 0xFFFFFFFFu) return ERR_OUTOFRANGE;
  PoolBlocks blocks;
  u32 *table = static_cast<u32 *>(blocks.Allocate(0, 4 * n));
  if (!table) return FERR_NOTENOUGHMEM;
  // No more workers than blocks: the rest would only hold memory.
  u32 workers = options->workers < n ? options->workers : n;
  BlockCoder coder(code);
  Error e = coder.Start(workers, blockSize);
  if (e) return e;

  u8 header[CCompressedFile::kHeaderSize];
  for (int i = 0; i < 4; i++) header[i] = static_cast<u8>(kLzssMagic[i]);
  PutU32LE(header + 4, size);
  PutU32LE(header + 8, blockSize);
  header[12] = code;
  header[13] = 0;
  e = output->WriteAt(header, 0, sizeof(header), nullptr);
  if (!e) e = WriteTable(output, nullptr, n);  // placeholder
  if (e) return e;

  u32 at = static_cast<u32>(dataStart);
  u32 read = 0;
  for (u32 i = 0; i < n; i++) {
    // Keep every slot busy: read ahead up to the ring's size.
    for (; read < n && read - i < coder.SlotCount(); read++) {
      BlockCoder::Slot *slot = coder.SlotFor(read);
      slot->length = read + 1 < n ? blockSize : size - blockSize * read;
      if (slot->length > 0) {
        e = input->ReadAt(slot->plain, blockSize * read, slot->length,
                          nullptr);
        if (e) return e;
      }
      coder.Submit(slot);
    }
    BlockCoder::Slot *slot = coder.SlotFor(i);
    coder.Wait(slot);
    if (slot->error) return slot->error;
    const u8 *data = slot->compressed ? slot->packed : slot->plain;
    if (static_cast<u64>(at) + slot->stored > 0xFFFFFFFFu) return ERR_OUTOFRANGE;
    table[i] = at;
    if (slot->stored > 0) {
      e = output->WriteAt(data, at, slot->stored, nullptr);
      if (e) return e;
    }
    at += slot->stored;
    options->progress.Report(static_cast<u64>(i) * blockSize + slot->length,
                             size);
  }
  e = WriteTable(output, table, n);
  if (e) return e;
  e = output->Seek(static_cast<i32>(at), SEEK_FROM_START);
  if (!e) e = output->Truncate();
  return e;
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
