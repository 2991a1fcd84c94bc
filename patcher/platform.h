// What the patcher needs from the operating system, behind one small
// interface implemented once per platform (platform_posix.cpp,
// platform_win32.cpp), beside the message box of config/message_box.h. The
// patcher's logic calls nothing else of the system; files and folders go
// through the file services.
#pragma once

#include "config/message_box.h"
#include "core/types.h"

// The path of the running executable, NUL-terminated, in `size` bytes;
// false when it cannot be had or does not fit.
bool PlatformGetExecutablePath(char *buffer, u32 size);

// The game's registry key, HKEY_LOCAL_MACHINE\SOFTWARE\Lorvenest\Vask, in
// the 32-bit view. Null when it does not exist or cannot be opened.
struct PlatformRegKey;
PlatformRegKey *PlatformRegOpen(bool forWriting);
// A value as text into `size` bytes (NUL-terminated); false when it is
// missing or does not fit. The value's type is not examined.
bool PlatformRegQueryString(PlatformRegKey *key, const char *name,
                            char *buffer, u32 size);
// A value of exactly 4 bytes; false otherwise.
bool PlatformRegQueryDword(PlatformRegKey *key, const char *name, u32 *value);
// Writes a REG_DWORD value; false on failure.
bool PlatformRegSetDword(PlatformRegKey *key, const char *name, u32 value);
void PlatformRegClose(PlatformRegKey *key);

// Creates (or opens) the named single-instance mutex without taking it and
// keeps it until the process ends. 1: created; 0: it already existed (the
// game or another patcher runs); -1: the system refused.
int PlatformCreateMutex(const char *name);

// Shows the modal progress dialog with `caption` and `text` and runs
// work(arg) on a worker thread meanwhile; the dialog ends after work
// returns. False when the dialog could not be shown (work did not run).
bool PlatformRunProgressDialog(const char *caption, const char *text,
                               void (*work)(void *), void *arg);
// Called by the worker as the run advances: `done` of `total` bytes of the
// whole run (the proof of the patch, then the files), `item` the file being
// copied (its path below the game folder) or null while the patch is
// proven. Cheap enough to call for every chunk: it shows at most a few
// updates a second.
void PlatformProgress(const char *item, u64 done, u64 total);

// The current user's Start-menu Programs folder (or its equivalent);
// false when there is none.
bool PlatformGetProgramsFolder(char *buffer, u32 size);
// The file extension of a shortcut, with its dot (".lnk").
const char *PlatformShortcutExtension();
// Writes the shortcut file `linkPath` starting `target` in `workingDir`
// with the icon of `iconPath` and `description` as its name; an existing
// file is replaced. False on failure.
bool PlatformWriteShortcut(const char *linkPath, const char *target,
                           const char *workingDir, const char *iconPath,
                           const char *description);

// Starts a program without waiting for it; failures are silent.
void PlatformStartProgram(const char *commandLine);

// If `path` is a read-only file, makes it a normal writable file.
void PlatformMakeWritable(const char *path);
// Puts the complete file `from` in the place of `to` in one step, replacing
// `to` when it exists (a rename over it), so that `to` is at every moment
// either its old file or the new one, whole. The new file keeps the old
// one's permissions where the system has them. False when it cannot be
// done; both files are then as they were.
bool PlatformReplaceFile(const char *from, const char *to);
