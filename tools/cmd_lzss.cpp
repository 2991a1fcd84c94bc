#include "tools/commands.h"

int CmdLzss(int, char **) { return UsageError("'lzss' is not available in this build"); }
