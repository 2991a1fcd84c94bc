// Standard output on POSIX systems is where message boxes are shown and where
// the patcher draws its progress line; both take this lock, and a box first
// ends a progress line still on screen.
#pragma once

#include "core/types.h"

void ConsoleLock();
void ConsoleUnlock();
// With the lock held: the length of the progress line now on screen (0:
// none), and its end (a line feed) before anything else is printed.
u32 ConsoleLiveLine();
void ConsoleSetLiveLine(u32 length);
void ConsoleEndLiveLine();
