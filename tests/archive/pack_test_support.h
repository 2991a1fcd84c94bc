// Shared fixtures of the pack tests: an in-memory file, directory and pack
// builders.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "archive/pack_index.h"
#include "fs/file.h"

typedef std::vector<u8> Bytes;

// A file held in memory with the host file's semantics: a short read gives
// EOF with the count read, writes extend it. Faults are injected by a
// countdown of successful reads or writes.
class CMemFile : public CFile {
 public:
  explicit CMemFile(Bytes bytes = Bytes()) : CFile(nullptr, 0), data(std::move(bytes)) {
    valid = 1;
  }
  ~CMemFile() override {
    if (destroyed) ++*destroyed;
  }
  Error Read(void *buffer, u32 size, u32 *countOut) override;
  Error Write(const void *buffer, u32 size, u32 *countOut) override;
  Error Seek(i32 offset, i16 origin) override;
  u32 GetSize() override { return static_cast<u32>(data.size()); }
  u32 Tell() override { return position; }
  Error Flush() override {
    flushes++;
    return nullptr;
  }

  Bytes data;
  u32 position = 0;
  u32 flushes = 0;
  u32 largestRead = 0;
  int readsLeft = -1;   // >= 0: that many reads succeed, then READFAIL
  int writesLeft = -1;  // >= 0: that many writes succeed, then DISKFULL
  int *destroyed = nullptr;
};

// A directory block of `names` (given in index order) front-coded with an
// 8-byte payload: u32 ordinal, u32 ordinal * 10.
Bytes EncodeDirectory(const std::vector<std::string> &names);
// Byte offsets of the records of EncodeDirectory(names).
std::vector<u32> RecordOffsets(const std::vector<std::string> &names);
// An index over a copy of `block` in the global handle table.
CPackIndex *MakeIndex(const Bytes &block, u32 count = 0, u16 step = 100);

typedef std::vector<std::pair<std::string, std::string>> Members;
// A pack of `members` written by CPackWriter, with its checksum record when
// asked.
Bytes MakePack(const Members &members, bool checksums = false);
