// Pieces of the Win32 platform layer that are pure functions, kept apart so
// that they can be tested without a running patcher.
#pragma once

#include "core/types.h"

// The executable's path from a command line of the quoted form the shell
// writes ("C:\Games\VaskPatch.exe" arguments...): the text between the
// opening quote and the quote that closes it, NUL-terminated, in `size`
// bytes. False when the line does not begin with a quote, the quote is never
// closed, the path is empty or it does not fit; the caller then asks the
// system for the module's file name instead.
bool ParseQuotedProgramPath(const char *commandLine, char *buffer, u32 size);

// The dialog resource of the progress dialog, its text control and its bar
// (which counts in thousandths of the run).
const int kProgressDialogId = 101;
const int kProgressTextId = 1000;
const int kProgressBarId = 1001;
const int kProgressBarRange = 1000;
