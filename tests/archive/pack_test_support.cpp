#include "pack_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

#include "archive/pack_writer.h"
#include "core/global_handle.h"

Error CMemFile::Read(void *buffer, u32 size, u32 *countOut) {
  if (countOut) *countOut = 0;
  if (readsLeft == 0) return FERR_READFAIL;
  if (readsLeft > 0) readsLeft--;
  if (size > largestRead) largestRead = size;
  u32 available = position < data.size() ? static_cast<u32>(data.size()) - position : 0;
  u32 n = size < available ? size : available;
  if (n) memcpy(buffer, data.data() + position, n);
  position += n;
  if (countOut) *countOut = n;
  return n == size ? nullptr : FERR_EOF;
}

Error CMemFile::Write(const void *buffer, u32 size, u32 *countOut) {
  if (countOut) *countOut = 0;
  if (writesLeft == 0) return FERR_DISKFULL;
  if (writesLeft > 0) writesLeft--;
  if (data.size() < position + static_cast<size_t>(size)) data.resize(position + size);
  if (size) memcpy(data.data() + position, buffer, size);
  position += size;
  if (countOut) *countOut = size;
  return nullptr;
}

Error CMemFile::Seek(i32 offset, i16 origin) {
  i64 base = origin == 1 ? position : origin == 2 ? static_cast<i64>(data.size()) : 0;
  i64 target = base + offset;
  if (target < 0) return FERR_SEEKFAIL;
  position = static_cast<u32>(target);
  return nullptr;
}

static size_t Shared(const std::string &a, const std::string &b) {
  size_t n = 0;
  while (n < a.size() && n < b.size() && a[n] == b[n]) n++;
  return n;
}

Bytes EncodeDirectory(const std::vector<std::string> &names) {
  Bytes out;
  for (size_t i = 0; i < names.size(); i++) {
    size_t s = i ? Shared(names[i - 1], names[i]) : 0;
    out.push_back(static_cast<u8>(names[i].size()));
    out.push_back(static_cast<u8>(s));
    out.insert(out.end(), names[i].begin() + s, names[i].end());
    u32 v[2] = {static_cast<u32>(i), static_cast<u32>(i * 10)};
    for (u32 x : v)
      for (int k = 0; k < 4; k++) out.push_back(static_cast<u8>(x >> (8 * k)));
  }
  return out;
}

std::vector<u32> RecordOffsets(const std::vector<std::string> &names) {
  std::vector<u32> offsets;
  u32 o = 0;
  for (size_t i = 0; i < names.size(); i++) {
    offsets.push_back(o);
    size_t s = i ? Shared(names[i - 1], names[i]) : 0;
    o += static_cast<u32>(2 + names[i].size() - s + 8);
  }
  return offsets;
}

CPackIndex *MakeIndex(const Bytes &block, u32 count, u16 step) {
  u32 h = GlobalHandleAlloc(static_cast<u32>(block.size()));
  if (!h) return nullptr;
  memcpy(GlobalHandleLock(h), block.data(), block.size());
  GlobalHandleUnlock(h);
  return new CPackIndex(8, h, static_cast<u32>(block.size()), count, step);
}

Bytes MakePack(const Members &members, bool checksums) {
  std::vector<CMemFile *> sources;
  CPackWriter writer;
  for (const auto &m : members) {
    sources.push_back(new CMemFile(Bytes(m.second.begin(), m.second.end())));
    EXPECT_EQ(writer.AddFile(m.first.c_str(), sources.back(),
                             static_cast<u32>(m.second.size())),
              nullptr);
  }
  if (checksums) {
    EXPECT_EQ(writer.AddChecksums(), nullptr);
  }
  CMemFile out;
  EXPECT_EQ(writer.WritePack(&out), nullptr);
  for (CMemFile *f : sources) delete f;
  return out.data;
}
