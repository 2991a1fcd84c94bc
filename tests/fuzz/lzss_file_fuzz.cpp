// An LZSS container read end to end through CLzssFile in chunks and at odd
// positions. One that reads whole and is laid out as the writer lays it out
// is then changed in one byte and flushed; opened again, it must read back
// the old contents with that byte changed.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/lzss.h"
#include "archive/lzss_file.h"
#include "tests/fuzz/fuzz_file.h"

namespace {

// Reads the whole file in chunks of 5000 (no block size's divisor); false on
// any error. At the end a read with a count gives 0 bytes, one without fails.
bool ReadAll(CFile *f, std::vector<u8> *keep) {
  u32 size = f->GetSize(), got = 7;
  if (f->Seek(0, SEEK_FROM_START)) return false;
  std::vector<u8> chunk(5000);
  for (u32 done = 0, n; done < size; done += n) {
    n = std::min<u32>(size - done, 5000);
    if (f->Read(chunk.data(), n, &got) || got != n) return false;
    if (keep) keep->insert(keep->end(), chunk.begin(), chunk.begin() + n);
  }
  if (f->Read(chunk.data(), 1, &got) || got != 0 || f->Read(chunk.data(), 1, nullptr) != FERR_EOF)
    abort();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size) {
  if (size > 4u << 20) return 0;
  CMemoryFile *parent = new CMemoryFile(data, size);
  CLzssFile *lzss = new CLzssFile(parent, 1);
  if (!lzss->valid) {
    delete lzss;
    return 0;
  }
  u32 total = lzss->GetSize();
  bool keep = total <= 1u << 20;  // contents kept for the checks
  std::vector<u8> contents;
  bool whole = ReadAll(lzss, keep ? &contents : nullptr) && keep;
  for (u32 pos : {total / 2, total - 1, total, total + 5}) {  // straddling blocks, at and past the end
    u8 probe[64];
    u32 got = 0;
    lzss->Seek(static_cast<i32>(pos), SEEK_FROM_START);
    Error e = lzss->Read(probe, sizeof probe, &got);
    if (!e && (got > sizeof probe || (whole && pos < total && memcmp(probe, &contents[pos], got))))
      abort();
  }
  // Only a known code can store a block again.
  if (whole && total > 0 && LzssCodeIsValid(lzss->CodecByte()) &&
      lzss->BlockOffset(0) == CCompressedFile::kHeaderSize + 4 * lzss->BlockCount() &&
      lzss->BlockOffset(lzss->BlockCount()) == parent->GetSize()) {
    contents[total / 2] ^= 0x5A;
    lzss->Seek(static_cast<i32>(total / 2), SEEK_FROM_START);
    if (lzss->Write(&contents[total / 2], 1, nullptr) || lzss->Flush()) abort();
    CLzssFile again(new CMemoryFile(parent->data), 1);
    std::vector<u8> reread;
    if (!again.valid || again.GetSize() != total || !ReadAll(&again, &reread) || reread != contents)
      abort();
  }
  delete lzss;
  return 0;
}
