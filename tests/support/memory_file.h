// A file in memory with the host file's semantics: a short read gives EOF
// with the count read, a seek outside 0 .. 4 GiB fails, writes and Truncate
// extend it, but never past `limit` (DISKFULL), so that a damaged header
// cannot make a fuzz target write gigabytes. For fault tests: a read delivers
// at most maxChunk bytes and its size is recorded; once readsLeft reads
// (writesLeft writes) have passed, every read fails with READFAIL (every
// write with DISKFULL); -1: never.
#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include "fs/file.h"

class CMemoryFile : public CFile {
 public:
  explicit CMemoryFile(std::vector<u8> bytes = {}, u32 limit = 64u << 20)
      : CFile(nullptr, 0), data(std::move(bytes)), mLimit(limit) { valid = 1; }
  CMemoryFile(const void *bytes, size_t size)
      : CMemoryFile(std::vector<u8>(static_cast<const u8 *>(bytes),
                                    static_cast<const u8 *>(bytes) + size)) {}
  Error Read(void *buffer, u32 size, u32 *countOut) override {
    if (countOut) *countOut = 0;
    reads.push_back(size);
    if (readsLeft == 0) return FERR_READFAIL;
    if (readsLeft > 0) readsLeft--;
    u32 left = position < data.size() ? static_cast<u32>(data.size() - position) : 0;
    u32 n = std::min<u32>({size, left, maxChunk});
    if (n) memcpy(buffer, data.data() + position, n);
    position += n;
    if (countOut) *countOut = n;
    return n == size ? nullptr : FERR_EOF;
  }
  Error Write(const void *buffer, u32 size, u32 *countOut) override {
    if (countOut) *countOut = 0;
    if (writesLeft == 0) return FERR_DISKFULL;
    if (writesLeft > 0) writesLeft--;
    if (size > mLimit || position > mLimit - size) return FERR_DISKFULL;
    if (position + size > data.size()) data.resize(position + size);
    if (size) memcpy(data.data() + position, buffer, size);
    position += size;
    if (countOut) *countOut = size;
    return nullptr;
  }
  Error Seek(i32 offset, i16 origin) override {
    i64 base = origin == 1 ? position : origin == 2 ? static_cast<i64>(data.size()) : 0;
    i64 target = base + offset;
    if (target < 0 || target > 0xFFFFFFFFll) return FERR_SEEKFAIL;
    position = static_cast<u32>(target);
    return nullptr;
  }
  u32 GetSize() override { return static_cast<u32>(data.size()); }
  u32 Tell() override { return position; }
  Error Truncate() override {
    if (position > mLimit) return FERR_DISKFULL;
    data.resize(position);
    return nullptr;
  }

  std::vector<u8> data;
  u32 position = 0, maxChunk = ~0u;
  int readsLeft = -1, writesLeft = -1;
  std::vector<u32> reads;

 private:
  u32 mLimit;
};
