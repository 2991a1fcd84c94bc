// An LZSS container read end to end through CLzssFile over an in-memory
// file, in chunks and at a few odd positions. A container that reads whole
// and is laid out as the writer lays it out is then changed in one byte and
// flushed; opened again, it must read back the old contents with that byte
// changed.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/lzss.h"
#include "archive/lzss_file.h"
#include "core/endian.h"
#include "tests/fuzz/fuzz_file.h"

namespace {

const u32 kChunk = 5000;               // not a divisor of any block size
const u32 kMaxRoundTrip = 1u << 20;    // contents kept for the write check

// Reads the whole file; false on any error. Keeps the bytes when asked.
bool ReadAll(CFile *f, std::vector<u8> *keep) {
  u32 size = f->GetSize();
  if (f->Seek(0, SEEK_FROM_START) != nullptr) return false;
  std::vector<u8> chunk(kChunk);
  for (u32 done = 0; done < size;) {
    u32 n = size - done < kChunk ? size - done : kChunk;
    u32 got = 0;
    if (f->Read(chunk.data(), n, &got) != nullptr || got != n) return false;
    if (keep) keep->insert(keep->end(), chunk.begin(), chunk.begin() + n);
    done += n;
  }
  // At the end: a read with a count gives 0 bytes, one without fails.
  u32 got = 7;
  u8 byte;
  if (f->Read(&byte, 1, &got) != nullptr || got != 0) abort();
  if (f->Read(&byte, 1, nullptr) != FERR_EOF) abort();
  return true;
}

// The writer's layout: the table right after the header, blocks in order.
bool IsCanonical(CCompressedFile *f, u32 parentSize) {
  if (f->BlockOffset(0) != CCompressedFile::kHeaderSize + 4 * f->BlockCount())
    return false;
  return f->BlockOffset(f->BlockCount()) == parentSize;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size) {
  if (size > 4u << 20) return 0;
  CFuzzFile *parent = new CFuzzFile(data, size);
  CLzssFile *lzss = new CLzssFile(parent, 1);
  if (!lzss->valid) {
    delete lzss;
    return 0;
  }
  u32 total = lzss->GetSize();
  bool keep = total <= kMaxRoundTrip;
  std::vector<u8> contents;
  bool whole = ReadAll(lzss, keep ? &contents : nullptr);

  // Odd positions: straddling blocks, at and past the end.
  u8 probe[64];
  u32 got = 0;
  for (u32 pos : {total / 2, total - 1, total, total + 5}) {
    lzss->Seek(static_cast<i32>(pos), SEEK_FROM_START);
    Error e = lzss->Read(probe, sizeof probe, &got);
    if (e == nullptr && got > sizeof probe) abort();
    if (whole && keep && e == nullptr && pos < total &&
        memcmp(probe, contents.data() + pos, got) != 0)
      abort();
  }

  // Only a known code can store a block again.
  if (whole && keep && total > 0 && LzssCodeIsValid(lzss->CodecByte()) &&
      IsCanonical(lzss, parent->GetSize())) {
    u32 pos = total / 2;
    u8 changed = static_cast<u8>(contents[pos] ^ 0x5A);
    lzss->Seek(static_cast<i32>(pos), SEEK_FROM_START);
    if (lzss->Write(&changed, 1, nullptr) != nullptr) abort();
    if (lzss->Flush() != nullptr) abort();
    contents[pos] = changed;
    const std::vector<u8> &stored = parent->Bytes();
    CLzssFile *again = new CLzssFile(new CFuzzFile(stored.data(), stored.size()), 1);
    std::vector<u8> reread;
    if (!again->valid || again->GetSize() != total || !ReadAll(again, &reread) ||
        reread != contents)
      abort();
    delete again;
  }
  delete lzss;
  return 0;
}
