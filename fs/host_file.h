// CHostFile: a CFile over an open handle of the host's file system (a file
// descriptor on POSIX, a HANDLE on Win32). It owns the handle and closes it
// when destroyed. A short read reports EOF with the count actually read;
// Truncate cuts (or extends) the file at the current position.
#pragma once

#include "fs/file.h"

class CHostFile : public CFile {
 public:
  CHostFile(uintptr_t nativeHandle, u16 mode);
  ~CHostFile() override;

  Error Read(void *buffer, u32 size, u32 *countOut) override;
  Error Write(const void *buffer, u32 size, u32 *countOut) override;
  // origin 2: size + offset. Other origins go to the host unchanged.
  Error Seek(i32 offset, i16 origin) override;
  // Low 32 bits of the size; 0xFFFFFFFF when the host fails.
  u32 GetSize() override;
  u32 Tell() override;
  Error Flush() override;
  Error Truncate() override;
  // PID_HOSTHANDLE: the native handle.
  Error GetProperty(u32 propertyId, uintptr_t *valueOut, u32 extra) override;

  uintptr_t NativeHandle() const { return mHandle; }

 private:
  uintptr_t mHandle;
};

// The host's last error (errno, GetLastError) as a file code: the codes of
// the file domain by meaning, `fallback` for anything without one, null when
// the host reports no error. One implementation per platform.
Error HostLastError(Error fallback);
