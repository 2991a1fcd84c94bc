#include "tools/exec_mode.h"

// Windows runs any .exe; there is nothing to copy.
void CopyExecutePermission(const char *, const char *) {}
