#include "fs/file_window.h"

CFileWindow::CFileWindow(CFile *parent_, u32 start, u32 length,
                         u32 ownsParent_)
    : CFile(parent_, ownsParent_), mStart(start), mLength(length) {
  if (!parent) {
    mLength = length == 0xFFFFFFFFu ? 0 : length;
    return;
  }
  if (length == 0xFFFFFFFFu) {
    u32 size = parent->GetSize();
    mLength = size > start ? size - start : 0;
  }
  parent->Seek(static_cast<i32>(start), SEEK_FROM_START);
}

Error CFileWindow::Read(void *buffer, u32 size, u32 *countOut) {
  if (!parent) return ERR_WHATAMESS;
  return parent->Read(buffer, size, countOut);
}

Error CFileWindow::ReadAt(void *buffer, u32 position, u32 size,
                          u32 *countOut) {
  if (!parent) return ERR_WHATAMESS;
  return parent->ReadAt(buffer, mStart + position, size, countOut);
}

Error CFileWindow::Write(const void *buffer, u32 size, u32 *countOut) {
  if (!parent) return ERR_WHATAMESS;
  return parent->Write(buffer, size, countOut);
}

Error CFileWindow::WriteAt(const void *buffer, u32 position, u32 size,
                           u32 *countOut) {
  if (!parent) return ERR_WHATAMESS;
  return parent->WriteAt(buffer, mStart + position, size, countOut);
}

Error CFileWindow::Seek(i32 offset, i16 origin) {
  if (!parent) return ERR_WHATAMESS;
  switch (origin) {
    case 0:
      return parent->Seek(static_cast<i32>(mStart + static_cast<u32>(offset)),
                          SEEK_FROM_START);
    case 1:
      return parent->Seek(offset, SEEK_FROM_CURRENT);
    case 2:
      return parent->Seek(
          static_cast<i32>(mStart + mLength - static_cast<u32>(offset)),
          SEEK_FROM_START);
    default:
      return nullptr;
  }
}

u32 CFileWindow::GetSize() { return mLength; }

u32 CFileWindow::Tell() { return parent ? parent->Tell() - mStart : 0; }

Error CFileWindow::MoveData(u32 destination, u32 source, u32 length,
                            u32 chunkSize, void *buffer) {
  if (!parent) return ERR_WHATAMESS;
  return parent->MoveData(destination + mStart, source + mStart, length,
                          chunkSize, buffer);
}
