// CFileService: a file system behind one interface. Paths are NUL-terminated
// 8-bit text with '\' separators, already stripped of their mount name when a
// service sees them.
#pragma once

#include "core/errors.h"
#include "core/object.h"
#include "core/types.h"

class CFile;
class CFileService;

// Attribute bits of a listed entry (the Win32 values).
const u32 FATTR_READONLY = 0x001;
const u32 FATTR_HIDDEN = 0x002;
const u32 FATTR_SYSTEM = 0x004;
const u32 FATTR_DIRECTORY = 0x010;
const u32 FATTR_ARCHIVE = 0x020;
const u32 FATTR_NORMAL = 0x080;
const u32 FATTR_TEMPORARY = 0x100;
const u32 FATTR_COMPRESSED = 0x800;

// Query: turn a path into a full path (buffer of 256 bytes).
const u32 QUERY_FULLPATH = 0x02DF88EF;

// The caller's state of a directory listing. FindFirst stores the serving
// service in the first field; FindNext and FindClose are dispatched on it.
struct FindRecord {
  CFileService *service;  // null before a service took the listing
  uintptr_t word;         // service-specific (host: find handle; pack: prefix)
  void *buffer;           // service-owned
  u32 attributes;         // FATTR_* of the current entry
  const char *name;       // current entry, relative to the listed directory
};

class CFileService : public CObject {
 public:
  static const char *const sClassName;  // "CFileService"
  const char *GetClassName() const override;
  void *Cast(const char *name) override;

  virtual ~CFileService();
  // A new file object the caller owns, or null with the code in *errorOut
  // (errorOut may be null). Base: null, errorOut untouched.
  virtual CFile *Open(const char *path, u32 mode, Error *errorOut);
  // Nonzero when the path exists. Base: 0.
  virtual u32 Exists(const char *path);
  virtual Error Delete(const char *path);
  virtual Error Move(const char *fromPath, const char *toPath);
  // Creates `relativePath` below `parentPath`.
  virtual Error MakeDir(const char *parentPath, const char *relativePath);
  virtual Error RemoveDir(const char *parentPath, const char *relativePath);
  // Starts a listing; a successful FindFirst needs a FindClose.
  virtual Error FindFirst(FindRecord *record, const char *dirPath);
  virtual Error FindNext(FindRecord *record);
  virtual Error FindClose(FindRecord *record);
  virtual Error Query(const char *path, u32 queryId, char *buffer);
  virtual Error Extension(const char *path, u32 a, u32 b);
  // Base: *errorOut = null, 0.
  virtual u32 GetDataOffset(const char *path, Error *errorOut);
};
