// Bounded text helpers for the fixed path buffers of the library.
#pragma once

#include "core/types.h"

// False (and the buffer left a valid, possibly shorter text) when the
// result would not fit.
bool CopyText(char *out, u32 size, const char *text);
bool AppendText(char *out, u32 size, const char *text);
// Appends a backslash unless the text is empty or ends with one.
bool AppendSeparator(char *out, u32 size);
// A relative member path is safe to put below the game folder: no empty
// component and none made only of dots and spaces (Windows trims those to
// "." or ".."), no device name (CON, NUL, COM1 ...), no drive or ':' and no
// control characters, with both '\' and '/' taken as separators.
bool IsSafeRelativePath(const char *path);
