// Shared fixtures of the pack tests: a file held in memory, directory blocks
// and packs made by the pack writer.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "archive/pack_index.h"
#include "archive/pack_writer.h"
#include "core/global_handle.h"
#include "fs/file.h"

typedef std::vector<u8> Bytes;
typedef std::vector<std::pair<std::string, std::string>> Members;

// A file in memory with the host file's semantics: a short read gives EOF
// with the count read, writes extend it. readsLeft / writesLeft >= 0: that
// many succeed, then READFAIL / DISKFULL.
class CMemFile : public CFile {
 public:
  explicit CMemFile(Bytes bytes = Bytes()) : CFile(nullptr, 0), data(std::move(bytes)) { valid = 1; }
  ~CMemFile() override {
    if (destroyed) ++*destroyed;
  }
  Error Read(void *buffer, u32 size, u32 *countOut) override {
    if (countOut) *countOut = 0;
    if (readsLeft == 0) return FERR_READFAIL;
    if (readsLeft > 0) readsLeft--;
    largestRead = std::max(largestRead, size);
    u32 n = position < data.size() ? std::min<u32>(size, static_cast<u32>(data.size()) - position) : 0;
    if (n) memcpy(buffer, data.data() + position, n);
    position += n;
    if (countOut) *countOut = n;
    return n == size ? nullptr : FERR_EOF;
  }
  Error Write(const void *buffer, u32 size, u32 *countOut) override {
    if (countOut) *countOut = 0;
    if (writesLeft == 0) return FERR_DISKFULL;
    if (writesLeft > 0) writesLeft--;
    if (data.size() < position + static_cast<size_t>(size)) data.resize(position + size);
    if (size) memcpy(data.data() + position, buffer, size);
    position += size;
    if (countOut) *countOut = size;
    return nullptr;
  }
  Error Seek(i32 offset, i16 origin) override {
    i64 target = (origin == 1 ? position : origin == 2 ? static_cast<i64>(data.size()) : 0) + offset;
    if (target < 0) return FERR_SEEKFAIL;
    position = static_cast<u32>(target);
    return nullptr;
  }
  u32 GetSize() override { return static_cast<u32>(data.size()); }
  u32 Tell() override { return position; }
  Error Flush() override { return flushes++, nullptr; }

  Bytes data;
  u32 position = 0, flushes = 0, largestRead = 0;
  int readsLeft = -1, writesLeft = -1, *destroyed = nullptr;
};

// A directory block of `names` (in index order) front-coded with an 8-byte
// payload: u32 ordinal, u32 ordinal * 10; the records' offsets to `offsets`.
inline Bytes EncodeDirectory(const std::vector<std::string> &names,
                             std::vector<u32> *offsets = nullptr) {
  Bytes out;
  for (size_t i = 0; i < names.size(); i++) {
    if (offsets) offsets->push_back(static_cast<u32>(out.size()));
    size_t s = 0;
    while (i && s < names[i - 1].size() && s < names[i].size() && names[i - 1][s] == names[i][s]) s++;
    out.push_back(static_cast<u8>(names[i].size()));
    out.push_back(static_cast<u8>(s));
    out.insert(out.end(), names[i].begin() + s, names[i].end());
    for (u32 x : {static_cast<u32>(i), static_cast<u32>(i * 10)})
      for (int k = 0; k < 4; k++) out.push_back(static_cast<u8>(x >> (8 * k)));
  }
  return out;
}

// An index over a copy of `block` in the global handle table.
inline CPackIndex *MakeIndex(const Bytes &block, u32 count = 0, u16 step = 100) {
  u32 h = GlobalHandleAlloc(static_cast<u32>(block.size()));
  memcpy(GlobalHandleLock(h), block.data(), block.size());
  GlobalHandleUnlock(h);
  return new CPackIndex(8, h, static_cast<u32>(block.size()), count, step);
}

// A pack of `members` written by CPackWriter, with its checksum record when asked.
inline Bytes MakePack(const Members &members, bool checksums = false) {
  std::vector<std::unique_ptr<CMemFile>> sources;
  CPackWriter writer;
  for (const auto &m : members) {
    sources.emplace_back(new CMemFile(Bytes(m.second.begin(), m.second.end())));
    EXPECT_EQ(writer.AddFile(m.first.c_str(), sources.back().get(), static_cast<u32>(m.second.size())),
              nullptr);
  }
  if (checksums) {
    EXPECT_EQ(writer.AddChecksums(), nullptr);
  }
  CMemFile out;
  EXPECT_EQ(writer.WritePack(&out), nullptr);
  return out.data;
}
