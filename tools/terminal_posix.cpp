#include <unistd.h>

#include "tools/terminal.h"

bool ErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }
