#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fs/host_file.h"

Error HostLastError(Error fallback) {
  switch (errno) {
    case 0: return nullptr;
    case ENOENT: return FERR_FILENOTFOUND;
    case ENOTDIR: return FERR_PATHNOTFOUND;
    case EMFILE:
    case ENFILE: return FERR_TOOMANYOPENFILES;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EBADF:  // a descriptor used against its access mode
      return FERR_ACCESSDENIED;
    case ENODEV:
    case ENXIO: return FERR_VOLUMENOTFOUND;
    case EROFS: return FERR_WRITEPROTECTED;
    case EBUSY:
    case ETXTBSY: return FERR_SHARING;
    case EEXIST: return FERR_FILEEXIST;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
      return FERR_DISKFULL;
    default: return fallback;
  }
}

static int Fd(uintptr_t h) { return static_cast<int>(h); }

CHostFile::CHostFile(uintptr_t nativeHandle, u16 mode)
    : CFile(nullptr, 1), mHandle(nativeHandle) {
  openMode = mode;
  valid = 1;
}

CHostFile::~CHostFile() { close(Fd(mHandle)); }

Error CHostFile::Read(void *buffer, u32 size, u32 *countOut) {
  u32 done = 0;
  Error e = nullptr;
  while (done < size) {
    ssize_t n = read(Fd(mHandle), static_cast<char *>(buffer) + done,
                     size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      e = HostLastError(FERR_READFAIL);
      break;
    }
    if (n == 0) break;
    done += static_cast<u32>(n);
  }
  if (countOut) *countOut = done;
  if (e) return e;
  return done != size ? FERR_EOF : nullptr;
}

Error CHostFile::Write(const void *buffer, u32 size, u32 *countOut) {
  u32 done = 0;
  Error e = nullptr;
  while (done < size) {
    ssize_t n = write(Fd(mHandle), static_cast<const char *>(buffer) + done,
                      size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      e = HostLastError(FERR_WRITEFAIL);
      break;
    }
    if (n == 0) {
      errno = ENOSPC;
      e = HostLastError(FERR_WRITEFAIL);
      break;
    }
    done += static_cast<u32>(n);
  }
  if (countOut) *countOut = done;
  return e;
}

Error CHostFile::Seek(i32 offset, i16 origin) {
  int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR
               : origin == 2 ? SEEK_END : origin;
  if (lseek(Fd(mHandle), offset, whence) < 0)
    return HostLastError(FERR_SEEKFAIL);
  return nullptr;
}

u32 CHostFile::GetSize() {
  struct stat st;
  if (fstat(Fd(mHandle), &st) != 0) return 0xFFFFFFFFu;
  return static_cast<u32>(st.st_size);
}

u32 CHostFile::Tell() {
  return static_cast<u32>(lseek(Fd(mHandle), 0, SEEK_CUR));
}

Error CHostFile::Flush() {
  if (fsync(Fd(mHandle)) != 0 && errno != EINVAL && errno != EROFS)
    return HostLastError(FERR_FLUSHFAIL);
  return nullptr;
}

Error CHostFile::Truncate() {
  off_t pos = lseek(Fd(mHandle), 0, SEEK_CUR);
  if (pos < 0 || ftruncate(Fd(mHandle), pos) != 0)
    return HostLastError(FERR_TRUNCFAIL);
  return nullptr;
}

Error CHostFile::GetProperty(u32 propertyId, uintptr_t *valueOut, u32) {
  if (propertyId != PID_HOSTHANDLE) return FERR_UNKNOWNPID;
  if (valueOut) *valueOut = mHandle;
  return nullptr;
}
