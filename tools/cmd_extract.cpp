#include "tools/commands.h"

int CmdExtract(int, char **) { return UsageError("'extract' is not available in this build"); }
