// Checking a patch's INI before it ships, read exactly as the patcher reads
// it (CHashIni with the patcher's bucket counts, texts through GetText, the
// formats through the catalogue's own formatter): every key of section "str"
// that the patcher reads is there, versions are hexadecimal and in order,
// the formats take the patcher's arguments, texts fit what the patcher
// shows, and keys the patcher does not read are named with the nearest one
// it does.
#pragma once

#include "core/errors.h"
#include "core/types.h"

class CFile;

// An error leaves the player with a broken or empty message, or refuses
// every installation; a warning is probably not what the maker meant.
enum IniFindingKind { kIniError, kIniWarning };

// Called once per finding, in file order where there is one: the line (from
// 1), its kind and its text (valid only during the call).
typedef void (*IniCheckReport)(u32 line, IniFindingKind kind, const char *text,
                               void *context);

struct IniCheckCounts {
  u32 errors;
  u32 warnings;
};

// Checks the INI text of `file` (read from its start; not owned), reporting
// each finding. Null with the counts in *countsOut (may be null); ALLOCFAIL
// when memory runs out, with the findings so far reported. The catalogue
// (gPatchIni) is used for the check and left as it was.
Error CheckPatchIni(CFile *file, IniCheckReport report, void *context,
                    IniCheckCounts *countsOut);
