#include "archive/patch_sums.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "archive/pack_fs.h"
#include "core/endian.h"
#include "core/ptr_pool.h"

const char kPatchSumsName[] = "PATCH.SUM";

namespace {

const u8 kSignature[8] = {'V', 'P', 'S', 'U', 'M', '\r', '\n', 0x1A};
const char kFilesPrefix[] = "FILES\\";
const u32 kChunk = 32768;

// One member as the proof follows it.
struct Member {
  u32 offset;
  u32 size;
  u32 crc[2];    // of its bytes in each half of the file read so far
  u32 expected;  // from the record
  u32 record;    // its place in the directory
};

// One reader's share of the file: [from, to) read front to back.
struct Sweep {
  CFile *file;
  u32 from, to;
  u8 *buffer;        // kChunk bytes
  u32 *active;       // room for every member
  std::atomic<u64> *done;  // bytes read, for the other reader to report
  Error error;
  u32 failedAt = 0;
};

// Reads sweep.file over [from, to) and adds each member's bytes there to its
// crc[half]. The caller's reader also reports progress (both halves').
Error SweepRange(Sweep &sweep, Member *members, const u32 *order, u32 count,
                 int half, ProofProgress progress = nullptr,
                 void *context = nullptr, std::atomic<u64> *otherDone = nullptr,
                 u32 total = 0) {
  u32 next = 0, activeCount = 0;
  Error e = sweep.file->Seek(static_cast<i32>(sweep.from), SEEK_FROM_START);
  for (u32 at = sweep.from; !e && at < sweep.to;) {
    u32 n = sweep.to - at < kChunk ? sweep.to - at : kChunk;
    u32 got = 0;
    e = sweep.file->Read(sweep.buffer, n, &got);
    if (!e && got != n) e = FERR_EOF;
    if (e) {
      sweep.failedAt = at;
      return e;
    }
    u32 end = at + n;
    // A member joins when the read reaches its first byte; empty ones and
    // those that ended before this share never do.
    for (; next < count && members[order[next]].offset < end; next++) {
      const Member &m = members[order[next]];
      if (m.size > 0 && m.offset + m.size > sweep.from)
        sweep.active[activeCount++] = order[next];
    }
    u32 kept = 0;
    for (u32 k = 0; k < activeCount; k++) {
      Member &m = members[sweep.active[k]];
      u32 from = m.offset > at ? m.offset : at;
      u32 to = m.offset + m.size < end ? m.offset + m.size : end;
      if (from < to)
        m.crc[half] = Crc32(m.crc[half], sweep.buffer + (from - at), to - from);
      if (m.offset + m.size > end) sweep.active[kept++] = sweep.active[k];
    }
    activeCount = kept;
    at = end;
    if (sweep.done) *sweep.done = at - sweep.from;
    if (progress)
      progress(at + (otherDone ? static_cast<u64>(*otherDone) : 0), total, context);
  }
  return e;
}

// Blocks of gPtrPool freed on every way out.
class Scratch {
 public:
  ~Scratch() {
    for (void *p : mBlocks)
      if (p) gPtrPool->Free(p);
  }
  void *Allocate(int slot, u64 size) {
    if (size > 0xFFFFFFFFu) return nullptr;
    mBlocks[slot] = gPtrPool->Allocate(size ? static_cast<u32>(size) : 1);
    return mBlocks[slot];
  }

 private:
  void *mBlocks[6] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
};

void SetFailed(PatchProof *out, const char *name) {
  size_t n = strlen(name);
  if (n >= sizeof out->failed) n = sizeof out->failed - 1;
  memcpy(out->failed, name, n);
  out->failed[n] = 0;
}

// The name of directory record `record`, for a message.
void NameOfRecord(CPackIndex *index, u32 record, PatchProof *out) {
  char name[256];
  u8 payload[kPackPayloadSize];
  u32 cursor = 0;
  for (u32 i = 0; i <= record; i++)
    if (!index->NextRecord(&cursor, name, payload)) return;
  SetFailed(out, name);
}

// Checks the record's own last word, then its entries against the
// directory (every member but the record, in order, with its size), and
// takes the expected sums. `members` are in directory order here.
Error ReadSums(CFile *file, CPackIndex *index, Member *members, u32 count,
               u32 sumsAt, u64 nameBytes, bool *usable, PatchProof *out) {
  *usable = false;
  const Member &sums = members[sumsAt];
  if (sums.size < kPatchSumsHeaderSize + kPatchSumsTrailerSize)
    return ERR_INVALIDFORMAT;
  Scratch scratch;
  u8 *record = static_cast<u8 *>(scratch.Allocate(0, sums.size));
  if (!record) return ERR_ALLOCFAIL;
  Error e = file->ReadAt(record, sums.offset, sums.size, nullptr);
  if (e) return e;
  u32 body = sums.size - kPatchSumsTrailerSize;
  if (memcmp(record, kSignature, sizeof kSignature) != 0 ||
      Crc32(0, record, body) != GetU32LE(record + body))
    return ERR_INVALIDFORMAT;
  if (GetU32LE(record + 8) != kPatchSumsVersion) return nullptr;
  if (GetU32LE(record + 12) != count - 1 ||
      sums.size != PatchSumsSize(count - 1, nameBytes))
    return ERR_INVALIDFORMAT;

  char name[256];
  u8 payload[kPackPayloadSize];
  u32 cursor = 0;
  u32 at = kPatchSumsHeaderSize;
  for (u32 i = 0; i < count; i++) {
    if (!index->NextRecord(&cursor, name, payload)) return ERR_INVALIDFORMAT;
    if (i == sumsAt) continue;
    u32 length = static_cast<u32>(strlen(name));
    // The sizes add up to the record's, so every entry lies inside it.
    if (GetU32LE(record + at) != members[i].size || record[at + 8] != length ||
        memcmp(record + at + kPatchSumsEntryFixed, name, length) != 0) {
      SetFailed(out, name);
      return ERR_INVALIDFORMAT;
    }
    members[i].expected = GetU32LE(record + at + 4);
    at += kPatchSumsEntryFixed + length;
  }
  *usable = true;
  return nullptr;
}

}  // namespace

u32 Crc32(u32 crc, const void *data, u32 size) {
  return static_cast<u32>(
      crc32(crc, static_cast<const Bytef *>(data), static_cast<uInt>(size)));
}

u32 PatchSumsSize(u32 count, u64 nameBytes) {
  u64 size = kPatchSumsHeaderSize + static_cast<u64>(kPatchSumsEntryFixed) * count +
             nameBytes + kPatchSumsTrailerSize;
  return size > 0xFFFFFFFFu ? 0 : static_cast<u32>(size);
}

void PutPatchSumsHeader(u8 *p, u32 count) {
  memcpy(p, kSignature, sizeof kSignature);
  PutU32LE(p + 8, kPatchSumsVersion);
  PutU32LE(p + 12, count);
}

u32 PutPatchSumsEntry(u8 *p, u32 size, u32 crc, const char *name,
                      u32 length) {
  PutU32LE(p, size);
  PutU32LE(p + 4, crc);
  p[8] = static_cast<u8>(length);
  memcpy(p + kPatchSumsEntryFixed, name, length);
  return kPatchSumsEntryFixed + length;
}

Error ProvePatchPack(CPackFS *pack, CFile *second, ProofProgress progress,
                     void *context, PatchProof *out) {
  PatchProof ignored;
  if (!out) out = &ignored;
  memset(out, 0, sizeof *out);
  CFile *file = pack ? pack->GetFile() : nullptr;
  CPackIndex *index = pack ? pack->GetIndex() : nullptr;
  if (!file || !index) return ERR_INVALIDFORMAT;
  u32 fileSize = file->GetSize();
  u32 count = index->GetCount();
  // The header's count is checked against the walk below; before anything
  // is allocated for it, it must at least fit the directory.
  const u32 kSmallestRecord = 2 + 1 + kPackPayloadSize;
  if (count > index->GetLength() / kSmallestRecord) return ERR_INVALIDFORMAT;

  // The directory, walked once: names in strictly ascending order, every
  // member inside the file, the count the header gives.
  Scratch scratch;
  Member *members = static_cast<Member *>(
      scratch.Allocate(0, static_cast<u64>(count) * sizeof(Member)));
  u32 *order = static_cast<u32 *>(scratch.Allocate(1, 4ull * count));
  u32 *active = static_cast<u32 *>(scratch.Allocate(2, 4ull * count));
  u8 *buffer = static_cast<u8 *>(scratch.Allocate(3, kChunk));
  if (!members || !order || !active || !buffer) return ERR_ALLOCFAIL;
  char name[256], previous[256];
  name[0] = previous[0] = 0;
  u8 payload[kPackPayloadSize];
  u32 cursor = 0, walked = 0, sumsAt = count;
  u64 nameBytes = 0;
  for (;; walked++) {
    if (!index->NextRecord(&cursor, name, payload)) break;
    if (walked == count || (walked > 0 && strcmp(previous, name) >= 0)) {
      SetFailed(out, name);
      return ERR_INVALIDFORMAT;
    }
    Member &m = members[walked];
    m.offset = GetU32LE(payload);
    m.size = GetU32LE(payload + 4);
    m.crc[0] = m.crc[1] = 0;
    m.expected = 0;
    m.record = walked;
    if (static_cast<u64>(m.offset) + m.size > fileSize) {
      SetFailed(out, name);
      return ERR_INVALIDFORMAT;
    }
    if (strcmp(name, kPatchSumsName) == 0) {
      sumsAt = walked;
    } else {
      nameBytes += strlen(name);
    }
    if (strncmp(name, kFilesPrefix, sizeof kFilesPrefix - 1) == 0)
      out->filesBytes += m.size;
    memcpy(previous, name, strlen(name) + 1);
  }
  if (cursor != index->GetLength() || walked != count) return ERR_INVALIDFORMAT;
  out->members = count;

  bool checkSums = false;
  if (sumsAt < count) {
    out->hasSums = true;
    Error e = ReadSums(file, index, members, count, sumsAt, nameBytes,
                       &checkSums, out);
    if (e) {
      if (!out->failed[0]) SetFailed(out, kPatchSumsName);
      return e;
    }
  }

  // The whole file front to back, each member's sum taken on the way: in
  // one go, or with a second reader in two halves at once, whose sums are
  // joined afterwards.
  for (u32 i = 0; i < count; i++) order[i] = i;
  std::sort(order, order + count, [members](u32 a, u32 b) {
    return members[a].offset < members[b].offset;
  });
  u32 mid = second && fileSize >= 2 * kChunk ? fileSize / 2 / kChunk * kChunk : fileSize;
  Sweep halves[2] = {{file, 0, mid, buffer, active, nullptr, 0},
                     {second, mid, fileSize, nullptr, nullptr, nullptr, 0}};
  if (mid < fileSize) {
    halves[1].buffer = static_cast<u8 *>(scratch.Allocate(4, kChunk));
    halves[1].active = static_cast<u32 *>(scratch.Allocate(5, 4ull * count));
    if (!halves[1].buffer || !halves[1].active) return ERR_ALLOCFAIL;
    std::atomic<u64> otherDone(0);
    std::mutex lock;
    std::condition_variable ended;
    bool otherEnded = false;
    halves[1].done = &otherDone;
    std::thread other([&] {
      Error e = SweepRange(halves[1], members, order, count, 1);
      std::lock_guard<std::mutex> hold(lock);
      halves[1].error = e;
      otherEnded = true;
      ended.notify_one();
    });
    halves[0].error = SweepRange(halves[0], members, order, count, 0, progress,
                                 context, &otherDone, fileSize);
    {
      // Still a sign of life while the other half ends.
      std::unique_lock<std::mutex> hold(lock);
      while (!ended.wait_for(hold, std::chrono::milliseconds(50),
                             [&] { return otherEnded; })) {
        if (progress) progress(mid + otherDone, fileSize, context);
      }
    }
    other.join();
  } else {
    halves[0].error = SweepRange(halves[0], members, order, count, 0, progress,
                                 context, nullptr, fileSize);
  }
  for (const Sweep &h : halves) {
    if (!h.error) continue;
    // The member the damage lies in, when there is one.
    for (u32 k = 0; k < count; k++) {
      const Member &m = members[k];
      if (m.offset <= h.failedAt && h.failedAt - m.offset < m.size) {
        NameOfRecord(index, m.record, out);
        break;
      }
    }
    return h.error;
  }
  if (progress) progress(fileSize, fileSize, context);
  if (!checkSums) return nullptr;
  for (u32 k = 0; k < count; k++) {
    Member &m = members[order[k]];
    if (m.record == sumsAt) continue;
    u64 end = static_cast<u64>(m.offset) + m.size;
    u32 inSecond = end > mid ? static_cast<u32>(end - (m.offset > mid ? m.offset : mid)) : 0;
    u32 crc = inSecond ? static_cast<u32>(crc32_combine(m.crc[0], m.crc[1], inSecond))
                       : m.crc[0];
    if (crc != m.expected) {
      NameOfRecord(index, m.record, out);
      return SERR_BADCHECKSUM;
    }
  }
  return nullptr;
}
