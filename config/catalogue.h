// The message catalogue: every text the patcher shows and every parameter
// that steers it is a key of section "str" of the patch's INI. A missing
// catalogue, section or key always reads as the empty text, never as an
// error.
#pragma once

#include "config/hash_ini.h"
#include "core/types.h"

// The loaded catalogue; null until the patcher creates it.
extern CHashIni *gPatchIni;

const u32 kTextBufferSize = 4096;   // holds at most 4094 characters
const u32 kCaptionBufferSize = 256;  // longer captions are cut to 255

// The key's text with every '|' turned into a line feed, in one process-wide
// buffer that the next call (from any thread) overwrites.
const char *GetText(const char *key);

// Shows the key's text in a message box of `type` (no owner window) with the
// "title" text as caption; returns the button pressed.
int AskUser(const char *key, u32 type);
// As AskUser with a text the caller made (for instance by FormatText).
int AskUserText(const char *text, u32 type);
// Shows the key's text with an error icon and an OK button, then ends the
// process with exit code -1.
[[noreturn]] void FatalMessage(const char *key);

// A hexadecimal version number: leading white space, an optional sign, an
// optional 0x or 0X, then hexadecimal digits up to the first other
// character. No digits: 0. Values beyond the signed 32-bit range are clamped
// to 0x7FFFFFFF, or with a minus sign to 0x80000000; a minus sign negates.
u32 ParseHexVersion(const char *text);
// ParseHexVersion of the key's text.
u32 GetHexNumber(const char *key);
// A flag is on only when its text is exactly "1".
bool GetFlag(const char *key);

// One argument of FormatText: an integer or a text.
struct FormatArg {
  enum Kind { kInteger, kText } kind;
  i32 integer;
  const char *text;

  static FormatArg Int(i32 v) { return FormatArg{kInteger, v, nullptr}; }
  static FormatArg Text(const char *t) { return FormatArg{kText, 0, t}; }
};

// A printf-like formatter for formats that are data. It walks `format` and
// writes into `buffer` (`size` bytes, always zero-terminated when size > 0;
// longer output is cut at the buffer). A directive is '%', flags from
// "-+ 0#", a decimal width, optionally '.' and a decimal precision (widths
// and precisions above 1000000 count as 1000000), an optional 'l', and one of
// d i u x X o c s. An integer conversion (d i u x X o c) takes the next
// argument only when that is an integer, 's' only when it is a text; the
// arguments are taken strictly in order. "%%" gives '%'. Every other
// directive (%n, '*', positional "1$", unknown letters, a '%' at the end,
// a conversion whose argument is missing or of the other kind) is copied
// to the output as it stands and takes no argument. %c of 0 writes nothing
// but its padding. Returns the number of characters written, zero excluded.
// With `outcome`, also tells how the format met its arguments.
struct FormatOutcome {
  u32 argsTaken;       // arguments consumed
  u32 directivesLeft;  // directives copied as they stand ("%%" excluded)
};
u32 FormatText(char *buffer, u32 size, const char *format,
               const FormatArg *args, u32 argCount,
               FormatOutcome *outcome = nullptr);

// The "welcome2" format applied to (major, minor, folder). False when the
// format is empty (the caller then falls back to "welcome"); the buffer then
// holds the empty text.
bool FormatWelcome2(char *buffer, u32 size, i32 major, i32 minor,
                    const char *folder, FormatOutcome *outcome = nullptr);
// The "errcopy" format applied to the path of the file that failed.
void FormatErrCopy(char *buffer, u32 size, const char *path,
                   FormatOutcome *outcome = nullptr);
