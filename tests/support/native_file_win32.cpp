#include "core/win32.h"
#include "support/temp_dir.h"

CHostFile *OpenNativeFile(const std::string &path, bool write, bool create) {
  HANDLE h = CreateFileA(path.c_str(),
                         GENERIC_READ | (write ? GENERIC_WRITE : 0),
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         create ? CREATE_ALWAYS : OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return new CHostFile(reinterpret_cast<uintptr_t>(h),
                       static_cast<u16>(write ? 0x0F : 0x01));
}
