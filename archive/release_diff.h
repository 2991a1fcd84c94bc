// The step from one release of the game's files to the next, as a patch
// makes it: a file of the new release goes into the patch when the old
// release has no file of that name, or one with other bytes. Names match as
// they will over an installation, without regard to ASCII letter case and
// with '\' and '/' alike; contents are compared byte for byte.
#pragma once

#include "core/errors.h"
#include "core/types.h"

enum ReleaseChange {
  kReleaseNew,        // not in the old release: goes in
  kReleaseChanged,    // other bytes than in the old release: goes in
  kReleaseUnchanged,  // the same bytes: left out
  kReleaseRemoved,    // only in the old release: a patch cannot delete it
};

// Called for every file of the new release in its listing's order, with its
// path relative to the new folder as the listing names it ('\' between
// components), then for every file of the old release that the new one
// lacks, with its path relative to the old folder.
typedef void (*ReleaseVisitor)(const char *path, ReleaseChange change,
                               void *context);

// Compares the host folders `oldDir` and `newDir` (both must exist). An
// error of a listing or a read passes up unchanged, with the path concerned
// in `failedOut` (may be null); the visits made so far stand.
Error CompareReleases(const char *oldDir, const char *newDir,
                      ReleaseVisitor visit, void *context, char *failedOut,
                      u32 failedSize);
