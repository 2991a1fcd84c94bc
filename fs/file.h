// CFile: the byte-stream interface of every file object. Positions, sizes and
// counts are unsigned 32-bit; every operation that returns an Error returns
// null on success.
#pragma once

#include "core/errors.h"
#include "core/object.h"
#include "core/types.h"

// Open-mode flags, shared by every file service.
const u32 FOM_READ = 0x01;
const u32 FOM_WRITE = 0x02;
const u32 FOM_CREATE = 0x04;      // without FOM_REPLACE: fail if it exists
const u32 FOM_REPLACE = 0x08;     // with FOM_CREATE: create or empty
const u32 FOM_SEQUENTIAL = 0x10;  // hint; wins over FOM_RANDOM
const u32 FOM_RANDOM = 0x20;      // hint
const u32 FOM_SHAREREAD = 0x40;
const u32 FOM_SHAREWRITE = 0x80;

// Property: the host's native handle of a host file.
const u32 PID_HOSTHANDLE = 0x10000001;

// Seek origins.
const i16 SEEK_FROM_START = 0;
const i16 SEEK_FROM_CURRENT = 1;
const i16 SEEK_FROM_END = 2;

class CFile : public CObject {
 public:
  static const char *const sClassName;  // "CFile"
  const char *GetClassName() const override;
  void *Cast(const char *name) override;

  // `parent` is the file this one reads through (may be null); with
  // `ownsParent` set it is destroyed with this file.
  CFile(CFile *parent, u32 ownsParent);
  virtual ~CFile();

  // Reads at the current position and advances by the count transferred.
  // countOut may be null. Default: null, nothing read.
  virtual Error Read(void *buffer, u32 size, u32 *countOut);
  // Seek(position, 0) then Read.
  virtual Error ReadAt(void *buffer, u32 position, u32 size, u32 *countOut);
  // Writes at the current position. Default: null, nothing written.
  virtual Error Write(const void *buffer, u32 size, u32 *countOut);
  // Seek(position, 0) then Write.
  virtual Error WriteAt(const void *buffer, u32 position, u32 size,
                        u32 *countOut);
  // origin 0 from the start, 1 from the current position, 2 from the end.
  virtual Error Seek(i32 offset, i16 origin);
  // Cannot fail; 0 by default.
  virtual u32 GetSize();
  virtual u32 Tell();
  // Writes what the file holds in memory to its backing store.
  virtual Error Flush();
  // Makes the current position the end of the file.
  virtual Error Truncate();
  // Overlap-safe move of `length` bytes inside the file through a bounce
  // buffer of chunkSize bytes (allocated when `buffer` is null). The length
  // is clamped to the file's end; a source beyond the end moves nothing.
  virtual Error MoveData(u32 destination, u32 source, u32 length,
                         u32 chunkSize, void *buffer);
  // A new block of `size` bytes read from `position`; the caller gives it
  // back with FreeRegion. On failure *bufferOut is null.
  virtual Error LoadRegion(u32 position, u32 size, void **bufferOut);
  virtual Error FreeRegion(void *buffer);
  virtual void *Reserved1();
  virtual void *Reserved2();
  // Default: UNKNOWNPID.
  virtual Error GetProperty(u32 propertyId, uintptr_t *valueOut, u32 extra);
  virtual Error SetProperty(u32 propertyId, uintptr_t value, u32 extra);

  u16 openMode = 0;
  u32 valid = 0;  // construction succeeded
  u16 regionCount = 0;
  CFile *parent;
  u32 ownsParent;
};
