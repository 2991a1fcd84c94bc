#include "tools/commands.h"

int CmdBuild(int, char **) { return UsageError("'build' is not available in this build"); }
