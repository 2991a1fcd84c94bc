#include <fcntl.h>

#include "support/temp_dir.h"

CHostFile *OpenNativeFile(const std::string &path, bool write, bool create) {
  int flags = write ? O_RDWR : O_RDONLY;
  if (create) flags |= O_CREAT | O_TRUNC;
  int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  return new CHostFile(static_cast<uintptr_t>(fd),
                       static_cast<u16>(write ? 0x0F : 0x01));
}
