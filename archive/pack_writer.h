// CPackWriter: builds a pack archive (the format is described in
// archive/pack_fs.h) from members gathered first and written at the end.
//
// Members come from a file object, from a path opened through FsOpen, or
// from every file below a folder walked with FsFindFirst/FsFindNext. Names
// are upper-cased (ASCII letters only), must be 1..255 bytes without a
// leading or trailing '\', and are sorted in unsigned byte order when the
// pack is written; a name given twice is refused then. The pack is written
// front to back to the output file; member data is streamed in chunks, so a
// member is never held in memory whole.
//
// Time stamps: each member carries an MS-DOS date/time (date in the high 16
// bits). Members of a folder get one fixed stamp (kPackDefaultTime unless
// SetFolderTime says otherwise), so that packing the same tree twice gives
// the same bytes; no reader looks at the stamps.
#pragma once

#include "core/errors.h"
#include "core/types.h"

class CFile;

// 1980-01-01 00:00:00, the first moment MS-DOS stamps can hold.
const u32 kPackDefaultTime = 0x00210000;

class CPackWriter {
 public:
  CPackWriter();
  // Releases the gathered entries (the CFile sources stay the caller's).
  ~CPackWriter();
  CPackWriter(const CPackWriter &) = delete;
  CPackWriter &operator=(const CPackWriter &) = delete;

  // A member whose `size` bytes are read from `source`, from its position 0,
  // when the pack is written. The source is not owned and must live until
  // then. A bad name: BADPARAMS; no memory: ALLOCFAIL.
  Error AddFile(const char *name, CFile *source, u32 size,
                u32 dosTime = kPackDefaultTime);
  // A member with the bytes of the file at `path`, reached through FsOpen;
  // its size is taken now and that many bytes are copied later. The open's
  // error is returned unchanged.
  Error AddPath(const char *name, const char *path,
                u32 dosTime = kPackDefaultTime);
  // Every file below `folder`, named `prefix` (e.g. "FILES\", or "") plus
  // its path relative to the folder with '\' between components. An empty
  // folder adds nothing and succeeds; a listing error is returned.
  Error AddFolder(const char *folder, const char *prefix);
  // The stamp AddFolder gives its members.
  void SetFolderTime(u32 dosTime) { mFolderTime = dosTime; }
  // A checksum record (archive/patch_sums.h) of every other member, made
  // while the pack is written. Its name must sort after every other name
  // (WritePack refuses the pack with BADPARAMS otherwise); a member of that
  // name given too: FILEEXIST when the pack is written.
  Error AddChecksums(u32 dosTime = kPackDefaultTime);

  // Writes the pack to `out` sequentially from its current position. No
  // member: WHATAMESS; a name twice: FILEEXIST; more than 4 GiB of pack:
  // OUTOFRANGE; errors of the sources and of `out` pass up unchanged (a
  // source shorter than its size gives EOF).
  Error WritePack(CFile *out);
  // The bytes WritePack would write now, with its checks and errors (and
  // the members put in pack order).
  Error GetPackSize(u32 *sizeOut);

  u32 GetCount() const { return mCount; }
  // Member i (below GetCount()) as gathered, in pack order once WritePack
  // has run: its upper-cased name, its host path (null for a CFile source)
  // and its CFile source (null for a path).
  void GetMember(u32 i, const char **name, const char **path,
                 CFile **source) const {
    *name = mEntries[i].name;
    *path = mEntries[i].path;
    *source = mEntries[i].source;
  }
  // The member name or host path the last failure was about ("" when none);
  // valid until the next call.
  const char *GetFailedName() const { return mFailed; }

 private:
  struct Entry {
    char *name;  // upper-cased; followed in the same block by the path
    const char *path;  // null for a CFile source
    CFile *source;
    u32 nameLength;
    u32 size;
    u32 time;
    u32 crc;    // CRC-32 of the data, once written
    bool sums;  // the checksum record, made when it is written
  };

  Error AddEntry(const char *name, const char *prefix, CFile *source,
                 const char *path, u32 size, u32 time);
  Error AddFolderLevel(char *hostPath, u32 hostLength, char *member,
                       u32 memberLength, u32 depth);
  Error Layout(u32 *directoryOut, u32 *dataStartOut, u32 *sizeOut);
  Error WriteEntryData(CFile *out, Entry &entry, u8 *buffer, u32 bufferSize);
  Error WriteSums(CFile *out, u32 count, u8 *buffer, u32 bufferSize);
  void SetFailed(const char *text);

  Entry *mEntries = nullptr;
  u32 mCount = 0;
  u32 mCapacity = 0;
  u32 mFolderTime = kPackDefaultTime;
  char mFailed[272];
};

// Packs every file below the host folder `folder` into `out`, names relative
// to the folder. On failure the member or path concerned is copied to
// failedOut (failedSize bytes, may be null).
Error PackFolder(const char *folder, CFile *out, char *failedOut,
                 u32 failedSize);
