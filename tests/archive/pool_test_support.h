// Shared helpers of the pool tests: pool files in a temporary folder, a file
// that counts the accesses reaching the real one, raw header edits.
#pragma once

#include <string>
#include <vector>

#include "archive/pool_file.h"
#include "archive/pool_image.h"
#include "core/endian.h"
#include "fs/file.h"
#include "support/temp_dir.h"

// Passes everything to the wrapped file (which it owns) and counts reads and
// writes.
class CountingFile : public CFile {
 public:
  explicit CountingFile(CFile *inner) : CFile(inner, 1) {}
  Error Read(void *b, u32 n, u32 *c) override {
    reads++;
    return parent->Read(b, n, c);
  }
  Error ReadAt(void *b, u32 pos, u32 n, u32 *c) override {
    reads++;
    return parent->ReadAt(b, pos, n, c);
  }
  Error Write(const void *b, u32 n, u32 *c) override {
    writes++;
    return parent->Write(b, n, c);
  }
  Error WriteAt(const void *b, u32 pos, u32 n, u32 *c) override {
    writes++;
    return parent->WriteAt(b, pos, n, c);
  }
  Error Seek(i32 offset, i16 origin) override { return parent->Seek(offset, origin); }
  u32 GetSize() override { return parent->GetSize(); }
  u32 Tell() override { return parent->Tell(); }
  Error Flush() override { return parent->Flush(); }
  Error Truncate() override { return parent->Truncate(); }

  int reads = 0;
  int writes = 0;
};

// A pool file at a path of a temporary folder.
class PoolFileAt {
 public:
  explicit PoolFileAt(const std::string &path) : mPath(path) {}

  // A fresh pool file, attached.
  CBFHP *Create(u32 blockSize, u32 headSize, u32 maxBlocks = 0,
                CountingFile **counter = nullptr) {
    CFile *f = OpenNativeFile(mPath, true, true);
    if (!f || CreatePoolFile(f, blockSize, headSize, maxBlocks) != nullptr) {
      delete f;
      return nullptr;
    }
    return Attach(f, counter);
  }
  // The existing file, attached again.
  CBFHP *Open(CountingFile **counter = nullptr) {
    CFile *f = OpenNativeFile(mPath, true, false);
    return f ? Attach(f, counter) : nullptr;
  }
  std::vector<unsigned char> Bytes() const { return ReadWholeFile(mPath); }
  void SetBytes(const std::vector<unsigned char> &b) { WriteWholeFile(mPath, b); }
  // Overwrites the u32 at `offset` of the file.
  void PokeU32(size_t offset, u32 value) {
    std::vector<unsigned char> b = Bytes();
    if (b.size() < offset + 4) b.resize(offset + 4);
    PutU32LE(b.data() + offset, value);
    SetBytes(b);
  }
  u32 PeekU32(size_t offset) const {
    std::vector<unsigned char> b = Bytes();
    return b.size() >= offset + 4 ? GetU32LE(b.data() + offset) : 0xDEADBEEF;
  }
  const std::string &path() const { return mPath; }

 private:
  CBFHP *Attach(CFile *f, CountingFile **counter) {
    if (counter) {
      *counter = new CountingFile(f);
      f = *counter;
    }
    CBFHP *pool = new CBFHP(nullptr, 0);
    if (pool->AttachFile(f) != nullptr) {
      delete f;
      delete pool;
      return nullptr;
    }
    return pool;
  }
  std::string mPath;
};
