#include "core/win32.h"

#include "tools/terminal.h"

// Only a console has a console mode: a pipe, a file or NUL does not.
bool ErrorIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}
