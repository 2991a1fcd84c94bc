#include "core/win32.h"
#include "fs/host_file.h"

Error HostLastError(Error fallback) {
  switch (GetLastError()) {
    case ERROR_SUCCESS: return nullptr;
    case ERROR_FILE_NOT_FOUND: return FERR_FILENOTFOUND;
    case ERROR_PATH_NOT_FOUND: return FERR_PATHNOTFOUND;
    case ERROR_TOO_MANY_OPEN_FILES: return FERR_TOOMANYOPENFILES;
    case ERROR_ACCESS_DENIED: return FERR_ACCESSDENIED;
    case ERROR_INVALID_DRIVE: return FERR_VOLUMENOTFOUND;
    case ERROR_NO_MORE_FILES: return FERR_NOMOREFILES;
    case ERROR_WRITE_PROTECT: return FERR_WRITEPROTECTED;
    case ERROR_NOT_READY: return FERR_NOTREADY;
    case ERROR_NOT_DOS_DISK: return FERR_BADVOLUME;
    case ERROR_SHARING_VIOLATION: return FERR_SHARING;
    case ERROR_FILE_EXISTS: return FERR_FILEEXIST;
    case ERROR_DISK_FULL: return FERR_DISKFULL;
    case ERROR_NEGATIVE_SEEK: return FERR_SEEKFAIL;
    case ERROR_ALREADY_EXISTS: return FERR_ALREADYEXISTS;
    default: return fallback;
  }
}

static HANDLE H(uintptr_t h) { return reinterpret_cast<HANDLE>(h); }

CHostFile::CHostFile(uintptr_t nativeHandle, u16 mode)
    : CFile(nullptr, 1), mHandle(nativeHandle) {
  openMode = mode;
  valid = 1;
}

CHostFile::~CHostFile() { CloseHandle(H(mHandle)); }

Error CHostFile::Read(void *buffer, u32 size, u32 *countOut) {
  DWORD count = 0;
  BOOL ok = ReadFile(H(mHandle), buffer, size, &count, nullptr);
  if (countOut) *countOut = count;
  if (!ok) return HostLastError(FERR_READFAIL);
  return count != size ? FERR_EOF : nullptr;
}

Error CHostFile::Write(const void *buffer, u32 size, u32 *countOut) {
  DWORD count = 0;
  BOOL ok = WriteFile(H(mHandle), buffer, size, &count, nullptr);
  if (countOut) *countOut = count;
  if (!ok) return HostLastError(FERR_WRITEFAIL);
  return nullptr;
}

Error CHostFile::Seek(i32 offset, i16 origin) {
  DWORD method = origin == 0 ? FILE_BEGIN : origin == 1 ? FILE_CURRENT
                 : origin == 2 ? FILE_END : static_cast<DWORD>(origin);
  SetLastError(ERROR_SUCCESS);
  if (SetFilePointer(H(mHandle), offset, nullptr, method) ==
      INVALID_SET_FILE_POINTER)
    return HostLastError(FERR_SEEKFAIL);
  return nullptr;
}

u32 CHostFile::GetSize() { return GetFileSize(H(mHandle), nullptr); }

u32 CHostFile::Tell() {
  return SetFilePointer(H(mHandle), 0, nullptr, FILE_CURRENT);
}

Error CHostFile::Flush() {
  if (!FlushFileBuffers(H(mHandle))) return HostLastError(FERR_FLUSHFAIL);
  return nullptr;
}

Error CHostFile::Truncate() {
  if (!SetEndOfFile(H(mHandle))) return HostLastError(FERR_TRUNCFAIL);
  return nullptr;
}

Error CHostFile::GetProperty(u32 propertyId, uintptr_t *valueOut, u32) {
  if (propertyId != PID_HOSTHANDLE) return FERR_UNKNOWNPID;
  if (valueOut) *valueOut = mHandle;
  return nullptr;
}
