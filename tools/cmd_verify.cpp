#include "tools/commands.h"

int CmdVerify(int, char **) { return UsageError("'verify' is not available in this build"); }
