#include "tools/commands.h"

int CmdList(int, char **) { return UsageError("'list' is not available in this build"); }
