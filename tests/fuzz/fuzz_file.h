// A file held in memory for the fuzz targets, with the host file's
// semantics: a short read gives EOF with the count read, a seek before the
// start fails, writes and Truncate may extend the file. The file never grows
// past kFuzzFileLimit (DISKFULL then), so that a damaged header cannot make
// a target write gigabytes.
#pragma once

#include <cstring>
#include <vector>

#include "fs/file.h"

const u32 kFuzzFileLimit = 64u << 20;

class CFuzzFile : public CFile {
 public:
  CFuzzFile(const u8 *data, size_t size) : CFile(nullptr, 0), mData(data, data + size) {
    valid = 1;
  }

  Error Read(void *buffer, u32 size, u32 *countOut) override {
    u32 n = 0;
    if (mPosition < mData.size()) {
      size_t left = mData.size() - mPosition;
      n = size < left ? size : static_cast<u32>(left);
      memcpy(buffer, mData.data() + mPosition, n);
      mPosition += n;
    }
    if (countOut) *countOut = n;
    return n == size ? nullptr : FERR_EOF;
  }
  Error Write(const void *buffer, u32 size, u32 *countOut) override {
    if (countOut) *countOut = 0;
    if (size > kFuzzFileLimit || mPosition > kFuzzFileLimit - size)
      return FERR_DISKFULL;
    if (mPosition + size > mData.size()) mData.resize(mPosition + size);
    if (size) memcpy(mData.data() + mPosition, buffer, size);
    mPosition += size;
    if (countOut) *countOut = size;
    return nullptr;
  }
  Error Seek(i32 offset, i16 origin) override {
    i64 base = origin == 1 ? mPosition : origin == 2 ? static_cast<i64>(mData.size()) : 0;
    i64 target = base + offset;
    if (target < 0 || target > 0xFFFFFFFFll) return FERR_SEEKFAIL;
    mPosition = static_cast<u32>(target);
    return nullptr;
  }
  u32 GetSize() override { return static_cast<u32>(mData.size()); }
  u32 Tell() override { return mPosition; }
  Error Truncate() override {
    if (mPosition > kFuzzFileLimit) return FERR_DISKFULL;
    mData.resize(mPosition);
    return nullptr;
  }

  const std::vector<u8> &Bytes() const { return mData; }

 private:
  std::vector<u8> mData;
  u32 mPosition = 0;
};
