#include "tools/commands.h"

int CmdPack(int, char **) { return UsageError("'pack' is not available in this build"); }
