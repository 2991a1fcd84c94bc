// Opening archives as file services, shared by the patcher and patchkit:
// the scan for the archive appended to a patch executable, the detection of
// pool files and packs (plain or inside an LZSS container), and a walk over
// every file of a service.
#pragma once

#include "core/errors.h"
#include "core/progress.h"
#include "core/types.h"

class CFile;
class CFileService;

// Scans `file` in 8192-byte steps (with an 18-byte overlap) for the
// container header: "LZSS" with the 32-bit little-endian 0x8000 eight bytes
// on. 1 and the position when found. Positions from 0 to
// (size rounded down to 8192) - 8193 can be found.
u32 FindEmbeddedArchive(CFile *file, u32 *positionOut);

// The length of the container that starts at `position` in `file`: the rest
// of the file (0xFFFFFFFF), unless the file is a signed PE executable whose
// attribute certificate table (named by the security entry of its data
// directory) lies within the file after `position`; the container then ends
// where that table begins. Every field is read bounds-checked; a damaged
// header means the rest of the file.
u32 EmbeddedArchiveLength(CFile *file, u32 position);

// `file` as a file service, taking ownership of it in every outcome: an LZSS
// container is unwrapped first, then a pool file system is tried, then a
// pack. With `allowEmbedded`, a file that is neither is scanned for an
// appended archive (a patch executable). Null with the reason in *errorOut
// when it is none of these.
CFileService *OpenArchive(CFile *file, bool allowEmbedded, Error *errorOut);

// OpenArchive (with allowEmbedded) of the file at `path`, opened through
// the file services for reading.
CFileService *OpenArchivePath(const char *path, Error *errorOut);

// Calls visit(path, file-or-null, context) for every file below `dir` of
// `service` (depth first, in the service's order), with '\' separators and
// the path relative to `dir`. A member that cannot be opened is visited with
// a null file and its error in *openError. Returns the first error of the
// listing itself (null when it ended normally); a visit returning nonzero
// stops the walk.
typedef int (*ArchiveVisitor)(const char *path, CFile *file, Error openError,
                              void *context);
Error WalkArchive(CFileService *service, const char *dir,
                  ArchiveVisitor visit, void *context);

// The number of files of `service` and their bytes (a file that cannot be
// opened counts with no bytes); the listing's error as WalkArchive's.
Error TallyArchive(CFileService *service, u32 *membersOut, u64 *bytesOut);

// The LZSS container of `file` (the file itself, or the archive appended to
// a patch executable with `allowEmbedded`), taking ownership of `file`. Null
// with the reason in *errorOut when there is none.
CFile *OpenContainer(CFile *file, bool allowEmbedded, Error *errorOut);

// Reads every byte of `file` front to back (for a container: decodes every
// block). Null, or the first error with the position where it happened.
// `progress` (may be null) hears of the bytes read.
Error ReadThrough(CFile *file, u32 *failedAtOut,
                  const ProgressSink *progress = nullptr);

// Creates the host folder `path` and every missing folder above it.
Error MakeFolders(const char *path);

// Writes every file of `service` below the host folder `destDir` (made if
// missing), creating folders level by level. A member whose name could land outside destDir
// (an empty, "." or ".." component, a drive, ':' or control characters) is
// refused with BADPARAMS and nothing is written for it. report(path, error,
// context) is called for every member that failed; returns their number.
// `progress` (may be null) hears of the bytes written of all the members'.
typedef void (*ExtractReport)(const char *path, Error error, void *context);
u32 ExtractArchive(CFileService *service, const char *destDir,
                   ExtractReport report, void *context,
                   const ProgressSink *progress = nullptr);
