// Windows paths on a POSIX host: the one place that turns a path of the
// patcher ('\' and '/' separate components) into a host path, finding each
// component without regard to ASCII case the way a Windows folder would.
// The host file service and the patcher's platform layer both resolve
// through it.
//
// A name that is not there as written costs a look at the whole folder.
// Copying many new files into one folder would then read that folder once
// per file, so the names of the last few folders looked at are kept, keyed
// by the folder's device and inode and trusted only while the folder's
// modification time is the one seen when they were read. Our own creations,
// deletions and renames (reported through HostNamesBeforeChange and
// HostNamesChanged) update the kept names in place; any other change to the
// folder moves its time and makes us read it again. Where the host stamps
// folders coarsely (before the fine-grained stamps that Linux 6.13 gives a
// folder changed right after a stat), a change by someone else within the
// same clock tick as our last look can keep the old time; the kept names are
// therefore also read again after as many uses as they hold names (at least
// 64), which keeps the work per use constant and such a miss short-lived.
//
// Not thread-safe: the patcher uses its file services from one thread at a
// time (the copy worker runs while the main thread waits for it).
#pragma once

#include <sys/stat.h>

#include "core/errors.h"
#include "core/types.h"

// A path resolved by HostResolvePath.
struct HostResolvedPath {
  u32 length = 0;      // of the host path
  u32 components = 0;  // in the given path
  u32 finalAt = 0;     // where the last component starts in the host path
  const char *given = nullptr;  // the last component as written, in the path
  u32 givenLength = 0;
  bool parentFound = false;  // every component before the last is a folder
  bool exists = false;       // the last component names an entry too
  struct stat st;            // that entry's status, when it exists
};

// Resolves `path` into `out` (`cap` bytes, NUL-terminated). Empty components
// are skipped; a leading separator makes the result absolute ("/"), else it
// is relative to the current folder ("" without components). Components are
// joined by '/', with none at the end. Each one is taken as written when an
// entry of that name exists, else as the first entry of its folder (in the
// folder's listing order) equal to it without regard to ASCII case; from the
// first one that is missing, or that follows one that is not a folder, the
// rest is kept as written. BADPARAMS when the result does not fit.
Error HostResolvePath(const char *path, char *out, u32 cap,
                      HostResolvedPath *resolved);

// Keeps the folder names in step with our own change to the entry at host
// path `hostPath`: HostNamesBeforeChange right before creating, deleting or
// renaming it (drops the names kept for its folder when they are already
// out of date), HostNamesChanged right after that succeeded (`added`: the
// name now exists; else it is gone).
void HostNamesBeforeChange(const char *hostPath);
void HostNamesChanged(const char *hostPath, bool added);

// Forgets every kept folder and frees its memory; HostFsShutdown calls it.
void HostNamesClear();
