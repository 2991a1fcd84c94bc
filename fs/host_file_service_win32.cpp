// The host file service over Win32: each operation is one or two calls of
// the host plus the error mapping of HostLastError.

#include "fs/host_file_service.h"

#include <cstring>
#include <new>

#include "core/ptr_pool.h"
#include "core/win32.h"
#include "fs/file.h"
#include "fs/host_file.h"
#include "fs/mount_table.h"

namespace {

const u32 kKeptAttributes = FATTR_READONLY | FATTR_HIDDEN | FATTR_SYSTEM |
                            FATTR_DIRECTORY | FATTR_ARCHIVE | FATTR_NORMAL |
                            FATTR_TEMPORARY | FATTR_COMPRESSED;

bool IsDotName(const char *name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

HANDLE FindHandle(const FindRecord *record) {
  return reinterpret_cast<HANDLE>(record->word);
}

// Publishes the entry the find data holds.
void TakeEntry(FindRecord *record) {
  WIN32_FIND_DATAA *data = static_cast<WIN32_FIND_DATAA *>(record->buffer);
  record->attributes = data->dwFileAttributes & kKeptAttributes;
  record->name = data->cFileName;
}

// Steps past "." and ".." wherever the host lists them.
Error NextEntry(FindRecord *record) {
  WIN32_FIND_DATAA *data = static_cast<WIN32_FIND_DATAA *>(record->buffer);
  do {
    if (!FindNextFileA(FindHandle(record), data)) return HostLastError(FERR_FILE);
    TakeEntry(record);
  } while (IsDotName(data->cFileName));
  return nullptr;
}

}  // namespace

CFile *CHostFileService::Open(const char *path, u32 mode, Error *errorOut) {
  if (errorOut) *errorOut = nullptr;
  if (!path || HostPathTooLong(path)) {
    if (errorOut) *errorOut = ERR_BADPARAMS;
    return nullptr;
  }
  DWORD access = 0;
  if (mode & FOM_READ) access |= GENERIC_READ;
  if (mode & FOM_WRITE) access |= GENERIC_WRITE;
  DWORD share = 0;
  if (mode & FOM_SHAREREAD) share |= FILE_SHARE_READ;
  if (mode & FOM_SHAREWRITE) share |= FILE_SHARE_WRITE;
  DWORD disposition = OPEN_EXISTING;
  if (mode & FOM_CREATE)
    disposition = (mode & FOM_REPLACE) ? CREATE_ALWAYS : CREATE_NEW;
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  if (mode & FOM_SEQUENTIAL)
    flags = FILE_FLAG_SEQUENTIAL_SCAN;
  else if (mode & FOM_RANDOM)
    flags = FILE_FLAG_RANDOM_ACCESS;
  // A read-only file is never written nor emptied. Windows refuses that by
  // itself; a host that lets a privileged user through (Wine run as root)
  // would lose the file's contents.
  if ((access & GENERIC_WRITE) || disposition == CREATE_ALWAYS) {
    DWORD a = GetFileAttributesA(path);
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY) &&
        !(a & FILE_ATTRIBUTE_DIRECTORY) && disposition != CREATE_NEW) {
      if (errorOut) *errorOut = FERR_ACCESSDENIED;
      return nullptr;
    }
  }
  HANDLE h = CreateFileA(path, access, share, nullptr, disposition, flags,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (errorOut) *errorOut = HostLastError(FERR_OPENFAIL);
    return nullptr;
  }
  CFile *file =
      NewHostFile(reinterpret_cast<uintptr_t>(h), static_cast<u16>(mode));
  if (!file) CloseHandle(h);
  return file;
}

// GetFileAttributesA rather than OpenFile(OF_EXIST): no 128-character limit,
// and a file locked without sharing still exists. Folders answer 0 as they
// do for OpenFile.
u32 CHostFileService::Exists(const char *path) {
  if (!path || HostPathTooLong(path)) return 0;
  DWORD a = GetFileAttributesA(path);
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY) ? 1
                                                                         : 0;
}

Error CHostFileService::Delete(const char *path) {
  if (!path || HostPathTooLong(path)) return ERR_BADPARAMS;
  if (!DeleteFileA(path)) return HostLastError(FERR_FILE);
  return nullptr;
}

Error CHostFileService::Move(const char *fromPath, const char *toPath) {
  if (!fromPath || !toPath || HostPathTooLong(fromPath) || HostPathTooLong(toPath))
    return ERR_BADPARAMS;
  if (!MoveFileA(fromPath, toPath)) return HostLastError(FERR_FILE);
  return nullptr;
}

Error CHostFileService::MakeDir(const char *parentPath,
                                const char *relativePath) {
  char path[kHostDirPathMax];
  if (Error e = HostBuildDirPath(parentPath, relativePath, path)) return e;
  if (!CreateDirectoryA(path, nullptr)) return HostLastError(FERR_FILE);
  return nullptr;
}

Error CHostFileService::RemoveDir(const char *parentPath,
                                  const char *relativePath) {
  char path[kHostDirPathMax];
  if (Error e = HostBuildDirPath(parentPath, relativePath, path)) return e;
  if (!RemoveDirectoryA(path)) return HostLastError(FERR_FILE);
  return nullptr;
}

Error CHostFileService::FindFirst(FindRecord *record, const char *dirPath) {
  if (!record || !dirPath) return ERR_BADPARAMS;
  memset(record, 0, sizeof *record);
  char pattern[kHostPatternMax];
  size_t n = strlen(dirPath);
  bool sep = n != 0 && dirPath[n - 1] != '\\';
  if (n + sep + sizeof "*.*" > sizeof pattern) return ERR_BADPARAMS;
  memcpy(pattern, dirPath, n);
  if (sep) pattern[n] = '\\';
  memcpy(pattern + n + sep, "*.*", sizeof "*.*");
  void *data = gPtrPool->Allocate(sizeof(WIN32_FIND_DATAA));
  if (!data) return FERR_NOTENOUGHMEM;
  HANDLE h = FindFirstFileA(pattern, static_cast<WIN32_FIND_DATAA *>(data));
  if (h == INVALID_HANDLE_VALUE) {
    Error e = HostLastError(FERR_FILE);
    gPtrPool->Free(data);
    return e;
  }
  record->service = this;
  record->word = reinterpret_cast<uintptr_t>(h);
  record->buffer = data;
  TakeEntry(record);
  if (IsDotName(record->name)) return FindNext(record);
  return nullptr;
}

Error CHostFileService::FindNext(FindRecord *record) {
  if (!record || !record->buffer) return ERR_BADPARAMS;
  return NextEntry(record);
}

Error CHostFileService::FindClose(FindRecord *record) {
  if (!record || !record->buffer) return ERR_BADPARAMS;
  BOOL ok = ::FindClose(FindHandle(record));
  Error e = ok ? nullptr : HostLastError(FERR_FILE);
  gPtrPool->Free(record->buffer);
  memset(record, 0, sizeof *record);
  return e;
}

Error CHostFileService::Query(const char *path, u32 queryId, char *buffer) {
  if (queryId != QUERY_FULLPATH) return ERR_NOTIMPL;
  if (!path || !buffer) return ERR_BADPARAMS;
  DWORD n = GetFullPathNameA(path, kHostDirPathMax, buffer, nullptr);
  // Too small a buffer: the result is the size needed, NUL included. A
  // failure (0) gave no full path either and is not reported as one.
  if (n == 0 || n >= kHostDirPathMax) {
    buffer[0] = 0;
    return ERR_UNKNOWN;
  }
  buffer[n] = 0;
  return nullptr;
}

Error HostFsInit() {
  SetHandleCount(64);
  CFileService *service = new (std::nothrow) CHostFileService;
  if (!service) return ERR_ALLOCFAIL;
  Error e = RegisterService("", service);
  if (e) delete service;
  return e;
}

Error HostFsShutdown() {
  delete UnregisterService("");
  return nullptr;
}
