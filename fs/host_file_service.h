// CHostFileService: the file service over the host's own file system,
// registered under the empty mount name so that every path no mount claims
// reaches it. Paths are Windows paths on every host: '\' (and '/') separate
// components. One implementation per platform; both behave the same:
// - Paths handed to Open, Exists, Delete and Move must fit the host's
//   classic path limit (kHostPathMax bytes with the NUL); longer ones are
//   refused with BADPARAMS before the host is asked.
// - Exists is true for an existing file only; a directory answers 0.
// - A regular file lists with FATTR_ARCHIVE, a directory with
//   FATTR_DIRECTORY; a read-only entry adds FATTR_READONLY.
// On POSIX each component is matched against the existing names without
// regard to ASCII case (an exact match wins, else the first found); new
// names are created as given. A file whose owner may not write it is
// read-only there as on Windows: opening it for writing or deleting it is
// ACCESSDENIED. The sharing bits of the open mode have no POSIX equivalent
// and are ignored.
#pragma once

#include "fs/file_service.h"

// Longest path the service accepts, NUL included (the Windows MAX_PATH).
const u32 kHostPathMax = 260;
// Buffer of MakeDir/RemoveDir paths and of the QUERY_FULLPATH result.
const u32 kHostDirPathMax = 256;
// Buffer of a listing's "<dir>\*.*" pattern.
const u32 kHostPatternMax = 512;

// Shared by both services: true when a path does not fit kHostPathMax.
bool HostPathTooLong(const char *path);
// parentPath, a '\' unless it is empty or ends in one, then name, into a
// kHostDirPathMax buffer; BADPARAMS for a null argument, a name that is not
// one component ('\', '/' or ':' in it) or a result that does not fit.
Error HostBuildDirPath(const char *parentPath, const char *name, char *out);

class CHostFileService : public CFileService {
 public:
  ~CHostFileService() override;
  // A CHostFile the caller owns, or null with the mapped host error (default
  // OPENFAIL) in *errorOut; null with *errorOut null when the file object
  // cannot be allocated (the handle is closed then).
  CFile *Open(const char *path, u32 mode, Error *errorOut) override;
  // 1 for an existing file; 0 for a directory, a missing path or a bad one.
  u32 Exists(const char *path) override;
  // Deletes a file; mapped host error, default FILE.
  Error Delete(const char *path) override;
  // Renames a file or directory; an existing target is ALREADYEXISTS.
  Error Move(const char *fromPath, const char *toPath) override;
  // Creates parentPath\name; BADPARAMS for a null argument, a separator or
  // ':' in name, or a path longer than kHostDirPathMax; ALREADYEXISTS when
  // the name is taken.
  Error MakeDir(const char *parentPath, const char *relativePath) override;
  // Removes the empty directory parentPath\name; checks as MakeDir.
  Error RemoveDir(const char *parentPath, const char *relativePath) override;
  // Lists dirPath ("" is the current directory) without "." and "..". On
  // success the record owns a find buffer until FindClose; on failure it is
  // zeroed. An empty directory answers NOMOREFILES and still needs FindClose.
  Error FindFirst(FindRecord *record, const char *dirPath) override;
  // Next entry; NOMOREFILES at the end (the record stays open).
  Error FindNext(FindRecord *record) override;
  // Releases the listing and zeroes the record; BADPARAMS without a buffer.
  Error FindClose(FindRecord *record) override;
  // QUERY_FULLPATH: the full path in a 256-byte buffer; "Unknown error" with
  // an empty buffer when it does not fit or the host finds none (as for "").
  // Other ids: "Not implemented yet".
  Error Query(const char *path, u32 queryId, char *buffer) override;

 protected:
  // Wraps a freshly opened native handle in a file object; null when there
  // is no memory. Open closes the handle itself then. Test doubles override
  // it to fail.
  virtual CFile *NewHostFile(uintptr_t nativeHandle, u16 mode);
};
