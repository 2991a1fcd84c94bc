// CFileWindow: the region of a parent file from `start` on, seen as a file
// whose position 0 is the parent's `start`. It holds no data; every access is
// passed to the parent at the translated position, and no access is clipped
// to the window's length.
#pragma once

#include "fs/file.h"

class CFileWindow : public CFile {
 public:
  // length 0xFFFFFFFF: the rest of the parent. Seeks the parent to `start`.
  CFileWindow(CFile *parent, u32 start, u32 length, u32 ownsParent);

  // Sequential access goes to the parent, which already sits at the
  // translated position.
  Error Read(void *buffer, u32 size, u32 *countOut) override;
  Error ReadAt(void *buffer, u32 position, u32 size, u32 *countOut) override;
  Error Write(const void *buffer, u32 size, u32 *countOut) override;
  Error WriteAt(const void *buffer, u32 position, u32 size,
                u32 *countOut) override;
  // origin 2 counts backwards from the window's end: start + length - offset.
  // Other origins than 0..2 do nothing and succeed.
  Error Seek(i32 offset, i16 origin) override;
  u32 GetSize() override;
  u32 Tell() override;
  Error MoveData(u32 destination, u32 source, u32 length, u32 chunkSize,
                 void *buffer) override;

  u32 Start() const { return mStart; }

 private:
  u32 mStart;
  u32 mLength;
};
