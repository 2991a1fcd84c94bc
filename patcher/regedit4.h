// Registry export text, read and edited in place.
//
// The format is the one the registry editor exports. The first line is
// "REGEDIT4" (or "Windows Registry Editor Version 5.00"), possibly behind a
// UTF-8 byte-order mark; lines end in CR LF or in LF. A line "[KEY PATH]"
// opens a section of that key (a key may have several sections; they add
// up). Inside a section each value takes one line:
//   "Name"="text"          a string; '\' and '"' in it are escaped by a '\'
//   "Name"=dword:0001000a  a 32-bit number in (up to) 8 hex digits
//   "Name"=hex:01,02       bytes; hex(N): gives the value type N. A line
//                          that ends in '\' goes on on the next line.
//   "Name"=-               the value removed
//   @=...                  the key's unnamed value (name "")
// Value names are escaped like strings. Lines starting with ';' are
// comments; other lines are ignored. Key and value names match without
// regard to ASCII case, and the last line of a name wins, as on import.
//
// A value's data is what the registry would hold: a string's characters and
// a NUL, a dword's 4 little-endian bytes, the listed bytes of hex: values.
//
// Every function works on any bytes: it never reads outside [text,
// text + size), never writes outside the caller's buffer, and needs no NUL.
#pragma once

#include "core/types.h"

enum RegValueKind {
  kRegMissing = 0,  // key or value not there, removed, or its line malformed
  kRegString,
  kRegDword,
  kRegBinary,  // hex: or hex(N):
};

// True when the text begins with one of the two export headers.
bool RegTextIsExport(const char *text, u32 size);

// True when the export holds at least one section of `key`.
bool RegTextHasKey(const char *text, u32 size, const char *key);

// Looks up value `name` of `key`. Puts the full size of its data into
// *dataSize and copies as much of the data as fits `capacity` into `data`
// (which may be null when capacity is 0). kRegMissing (and size 0) when the
// key or the value is missing, or the last line that sets it is malformed.
RegValueKind RegTextGetValue(const char *text, u32 size, const char *key,
                             const char *name, u8 *data, u32 capacity,
                             u32 *dataSize);

// The export with value `name` of `key` set to the dword `value`, written as
// "Name"=dword:xxxxxxxx (8 lower-case hex digits). The last line that sets
// the value is replaced; without one the line goes at the end of the key's
// last section, and without a section a new one is added at the end. Every
// other byte stays as it was; new lines end the way the header line does.
// *outSize receives the size of the result, which is written into `out`
// only when it fits `capacity`. False when the text is not an export or the
// result would not fit 32 bits.
bool RegTextSetDword(const char *text, u32 size, const char *key,
                     const char *name, u32 value, char *out, u32 capacity,
                     u32 *outSize);
