// Error codes. A code is a pointer to a constant upper-case name; null means
// success. Codes are compared by pointer, never by text: two strings with the
// same letters are different codes. Each domain lists its generic code first.
#pragma once

#include "core/types.h"

typedef const char *Error;

// Object domain.
extern const char ERR_UNKNOWN[];  // the text carries its double quotes
extern const char ERR_NOTIMPL[];  // likewise
extern const char ERR_ALLOCFAIL[];
extern const char ERR_LOCKFAIL[];
extern const char ERR_REALLOCFAIL[];
extern const char ERR_NOTLOCKED[];
extern const char ERR_INDEXOUTOFRANGE[];
extern const char ERR_BUFFERTOOSMALL[];
extern const char ERR_BADPARAMS[];
extern const char ERR_OUTOFRANGE[];
extern const char ERR_NOTFOUND[];
extern const char ERR_INVALIDFORMAT[];
extern const char ERR_WHATAMESS[];

// Files and file services.
extern const char FERR_FILE[];
extern const char FERR_NOTENOUGHMEM[];
extern const char FERR_READFAIL[];
extern const char FERR_WRITEFAIL[];
extern const char FERR_EOF[];
extern const char FERR_BADOPENMODE[];
extern const char FERR_SEEKFAIL[];
extern const char FERR_FILENOTFOUND[];
extern const char FERR_BADFILEFORMAT[];
extern const char FERR_OPENFAIL[];
extern const char FERR_TRUNCFAIL[];
extern const char FERR_FLUSHFAIL[];
extern const char FERR_PATHNOTFOUND[];
extern const char FERR_ACCESSDENIED[];
extern const char FERR_FILEEXIST[];
extern const char FERR_NOMOREFILES[];
extern const char FERR_NOTREADY[];
extern const char FERR_VOLUMENOTFOUND[];
extern const char FERR_TOOMANYOPENFILES[];
extern const char FERR_WRITEPROTECTED[];
extern const char FERR_BADVOLUME[];
extern const char FERR_DISKFULL[];
extern const char FERR_SHARING[];
extern const char FERR_ALREADYEXISTS[];
extern const char FERR_UNKNOWNPID[];

// Pools.
extern const char PERR_POOL[];
extern const char PERR_COMPACTED[];
extern const char PERR_OVERMAXSIZE[];
extern const char PERR_NOTCREATED[];
extern const char PERR_NOTPOOLFILE[];
extern const char PERR_ZEROSIZE[];
extern const char PERR_NOTENOUGHMEMORY[];
extern const char PERR_NULLPOINTER[];
extern const char PERR_SIZEOUTOFRANGE[];

// Hashed INI.
extern const char IERR_HASHINI[];
extern const char IERR_BADFILE[];
extern const char IERR_NOTINLIST[];

// LZSS decoder (no generic code of its own).
extern const char LERR_NOSUCHBITLENGTHS[];

// Checksums of a patch's members (no generic code of its own).
extern const char SERR_BADCHECKSUM[];

// The domain tables, in declaration order.
extern const Error kObjectErrors[13];
extern const Error kFileErrors[25];
extern const Error kPoolErrors[9];
extern const Error kHashIniErrors[3];
extern const Error kLzssErrors[1];
extern const Error kSumErrors[1];

// Text of a code for messages and tools; "(none)" for null.
inline const char *ErrorText(Error e) { return e ? e : "(none)"; }
