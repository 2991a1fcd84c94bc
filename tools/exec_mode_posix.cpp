#include <sys/stat.h>

#include "tools/exec_mode.h"

void CopyExecutePermission(const char *fromPath, const char *toPath) {
  struct stat from, to;
  if (stat(fromPath, &from) != 0 || stat(toPath, &to) != 0) return;
  chmod(toPath, (to.st_mode & 07777) | (from.st_mode & 0111));
}
