#include "fs/host_file_service.h"

#include <cstring>
#include <new>

#include "fs/host_file.h"

bool HostPathTooLong(const char *path) { return strlen(path) >= kHostPathMax; }

Error HostBuildDirPath(const char *parentPath, const char *name, char *out) {
  if (!parentPath || !name) return ERR_BADPARAMS;
  if (strpbrk(name, "\\/:")) return ERR_BADPARAMS;
  size_t p = strlen(parentPath), n = strlen(name);
  bool sep = p != 0 && parentPath[p - 1] != '\\';
  if (p + sep + n + 1 > kHostDirPathMax) return ERR_BADPARAMS;
  memcpy(out, parentPath, p);
  if (sep) out[p] = '\\';
  memcpy(out + p + sep, name, n + 1);
  return nullptr;
}

CHostFileService::~CHostFileService() {}

CFile *CHostFileService::NewHostFile(uintptr_t nativeHandle, u16 mode) {
  return new (std::nothrow) CHostFile(nativeHandle, mode);
}
