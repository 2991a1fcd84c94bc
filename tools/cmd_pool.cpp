#include "tools/commands.h"

int CmdPool(int, char **) { return UsageError("'pool' is not available in this build"); }
