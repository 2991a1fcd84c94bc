// CPackFS: a read-only file service over one pack archive, and CPackFile, a
// member of it.
//
// A pack is one file holding many members under relative path names. All
// integers are little-endian:
//   0   17 bytes  magic "KORVAX PackFile\n" and 0x1A
//   17  1 byte    0 (the magic is compared as a NUL-terminated string)
//   18  14 bytes  zero, not interpreted
//   32  u32       member count N (0: count the records)
//   36  u32       directory length D
//   40  D bytes   directory: the records of CPackIndex, each with an 8-byte
//                 payload: u32 data offset from the start of the pack, u32
//                 data size
//   40+D  4*N     one MS-DOS date/time stamp per member, not interpreted
//   then          member data back to back in directory order
// Member names use '\' between components, have no leading '\' and are
// stored upper-case; directories are implicit (a directory exists when some
// name begins with its path and '\'). Every path given to the service is cut
// to 255 bytes and its ASCII letters upper-cased; nothing else is rewritten,
// so '/' is an ordinary byte.
//
// The pack's file is read only through ReadAt, so any file object will do:
// a host file, a window, a compressed file.
#pragma once

#include "archive/pack_index.h"
#include "fs/file.h"
#include "fs/file_service.h"

// The pack's magic: 16 characters and 0x1A, then a NUL at byte 17.
extern const char kPackMagic[18];
const u32 kPackHeaderSize = 40;
const u32 kPackCountOffset = 32;
const u32 kPackDirLengthOffset = 36;
const u16 kPackPayloadSize = 8;  // u32 data offset, u32 data size
const u16 kPackSkipStep = 100;

// A member of a pack: a read-only window of the pack's file with its own
// position. It shares the pack's file without owning it, so it must be
// destroyed before the CPackFS that opened it. Answers "CFile".
class CPackFile : public CFile {
 public:
  static void *operator new(size_t size) noexcept;
  static void operator delete(void *p) noexcept;

  // valid = 1; `parent` is not owned.
  CPackFile(CFile *parent, u32 offset, u32 size);
  // The parent stays.
  ~CPackFile() override;

  // Position at or past the end: EOF. A read running past the end fails
  // with EOF and reads nothing when countOut is null, and is cut to the end
  // otherwise. A parent error is returned unchanged and the position stays.
  Error Read(void *buffer, u32 size, u32 *countOut) override;
  // "Not implemented yet": members are read-only.
  Error Write(const void *buffer, u32 size, u32 *countOut) override;
  // origin 1: from the position, 2: from the end, else from the start. A
  // result below 0 (or above 4 GiB) fails with "Unknown error" and the
  // position stays; beyond the end is allowed.
  Error Seek(i32 offset, i16 origin) override;
  // The member's size.
  u32 GetSize() override;
  // The position within the member.
  u32 Tell() override;
  // The parent's Flush.
  Error Flush() override;
  // "Not implemented yet".
  Error Truncate() override;

  u32 Offset() const { return mOffset; }

 private:
  u32 mOffset;
  u32 mSize;
  u32 mPosition = 0;
};

class CPackFS : public CFileService {
 public:
  static const char *const sClassName;  // "CPackFS"
  static void *operator new(size_t size) noexcept;
  static void operator delete(void *p) noexcept;

  // "CPackFS".
  const char *GetClassName() const override;
  // Itself for "CPackFS", otherwise as CFileService.
  void *Cast(const char *name) override;

  // An empty service: no file, no index.
  CPackFS();
  // Destroys the pack's file and the index.
  ~CPackFS() override;
  // A new member file (the caller owns it; destroy it before this service),
  // or null: FOM_WRITE asked: ACCESSDENIED (the archive is read-only); no
  // such member or no pack: FILENOTFOUND; a member whose data lies beyond
  // the pack's end: INVALIDFORMAT; no memory for the object: null error.
  CFile *Open(const char *path, u32 mode, Error *errorOut) override;
  // Nonzero when a name begins with the path and the first such name does
  // not end with '\': members, directories and leading parts of names.
  u32 Exists(const char *path) override;
  // Delete, Move, MakeDir, RemoveDir: the base's "Not implemented yet".
  // Lists dirPath (with or without its '\'; "" for the root): members with
  // attributes 0x01, subdirectories once each with 0x11, in name order.
  // Nothing there: FILENOTFOUND, and the record holds no buffer.
  Error FindFirst(FindRecord *record, const char *dirPath) override;
  // The next entry; FILENOTFOUND at the end of the listing.
  Error FindNext(FindRecord *record) override;
  // Frees the record's buffer; always succeeds.
  Error FindClose(FindRecord *record) override;
  // Query, Extension: the base's "Not implemented yet".
  // The member's data offset in the pack's file; FILENOTFOUND and 0 when
  // there is none.
  u32 GetDataOffset(const char *path, Error *errorOut) override;

  // Opens the pack in `file`, which this object owns from now on whatever
  // the outcome (a pack held before is destroyed). Read errors pass up
  // unchanged; bad magic: "Unknown error"; a directory of 0 bytes or no
  // memory for it: ALLOCFAIL; not lockable: LOCKFAIL; a directory reaching
  // past the end of the file: EOF.
  Error OpenPack(CFile *file);

  CFile *GetFile() const { return mFile; }
  CPackIndex *GetIndex() const { return mIndex; }

 private:
  CFile *mFile = nullptr;
  CPackIndex *mIndex = nullptr;
};

// Mounts a CPackFS over `file` under `name` ('\' appended unless present).
// No memory for the service: ALLOCFAIL and the file stays the caller's.
// Otherwise the file belongs to the mount from here on: a null or invalid
// file gives "Unknown error" (the file destroyed), an OpenPack error is
// returned with the service destroyed, and a full table's refusal is
// returned with the service destroyed. The mount table owns the name copy.
Error MountPack(CFile *file, const char *name);
