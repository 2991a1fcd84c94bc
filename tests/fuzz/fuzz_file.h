// A file held in memory for the fuzz targets, with the host file's
// semantics: a short read gives EOF with the count read, a seek before the
// start fails, writes and Truncate may extend the file, but never past
// kFuzzFileLimit (DISKFULL), so that a damaged header cannot make a target
// write gigabytes. Then the targets' walk of a file service.
#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include "archive/archive_open.h"
#include "fs/file.h"
#include "fs/mount_table.h"

const u32 kFuzzFileLimit = 64u << 20;

class CFuzzFile : public CFile {
 public:
  CFuzzFile(const u8 *data, size_t size) : CFile(nullptr, 0), mData(data, data + size) { valid = 1; }
  Error Read(void *buffer, u32 size, u32 *countOut) override {
    u32 n = mPos < mData.size() ? std::min<u32>(size, static_cast<u32>(mData.size() - mPos)) : 0;
    if (n) memcpy(buffer, mData.data() + mPos, n);
    mPos += n;
    if (countOut) *countOut = n;
    return n == size ? nullptr : FERR_EOF;
  }
  Error Write(const void *buffer, u32 size, u32 *countOut) override {
    if (countOut) *countOut = 0;
    if (size > kFuzzFileLimit || mPos > kFuzzFileLimit - size) return FERR_DISKFULL;
    if (mPos + size > mData.size()) mData.resize(mPos + size);
    if (size) memcpy(mData.data() + mPos, buffer, size);
    mPos += size;
    if (countOut) *countOut = size;
    return nullptr;
  }
  Error Seek(i32 offset, i16 origin) override {
    i64 target = offset + (origin == 1 ? mPos : origin == 2 ? static_cast<i64>(mData.size()) : 0);
    if (target < 0 || target > 0xFFFFFFFFll) return FERR_SEEKFAIL;
    mPos = static_cast<u32>(target);
    return nullptr;
  }
  u32 GetSize() override { return static_cast<u32>(mData.size()); }
  u32 Tell() override { return mPos; }
  Error Truncate() override { return mPos > kFuzzFileLimit ? FERR_DISKFULL : (mData.resize(mPos), nullptr); }
  const std::vector<u8> &Bytes() const { return mData; }

 private:
  std::vector<u8> mData;
  u32 mPos = 0;
};

// Lists the folder `dir` (empty or ending in a backslash; a buffer of `cap`) of
// `fs`, or through the path entry points without one, opening and reading
// through every file; a damaged tree may hold cycles: 2000 entries at most.
inline void WalkAndRead(CFileService *fs, char *dir, size_t cap, u32 *entries) {
  FindRecord r = {};
  Error e = fs ? fs->FindFirst(&r, dir) : FsFindFirst(&r, dir);
  for (size_t base = strlen(dir), n; !e && ++*entries <= 2000; e = fs ? fs->FindNext(&r) : FsFindNext(&r)) {
    if (base + (n = strlen(r.name)) + 2 > cap) continue;
    memcpy(dir + base, r.name, n + 1);
    if (r.attributes & FATTR_DIRECTORY) {
      memcpy(dir + base + n, "\\", 2);
      WalkAndRead(fs, dir, cap, entries);
    } else if (CFile *f = fs ? fs->Open(dir, FOM_READ | FOM_SHAREREAD, &e) : FsOpen(dir, FOM_READ, nullptr)) {
      ReadThrough(f, nullptr);
      delete f;
    }
    e = nullptr;
    dir[base] = 0;
  }
  fs ? fs->FindClose(&r) : FsFindClose(&r);
}
