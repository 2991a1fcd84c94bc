// The patcher: the run from start to finish, the installation checks, the
// copy engine and the finishing actions. Everything the operating system
// provides comes through patcher/platform.h; files go through the file
// services.
#pragma once

#include "core/types.h"

class CFile;

// The game's install folder, ending in a backslash once set.
extern char gGameFolder[256];
// Set when the user chose Ignore after a failed file copy.
extern u8 gIncomplete;
// Shortcuts written by the last shortcut search.
extern u32 gShortcutMade;

// The whole run; the process exit code (0, or -1 for a refusal).
int PatcherRun();

// Finds the archive in the running executable and mounts it as DATA. 0 when
// the executable cannot be opened; without a header it shows "Patch file is
// broken!" and ends the process.
u32 LocateEmbeddedArchive();
// The archive once more, as a file of its own over a second handle of the
// executable (for reading it on two threads); null when it cannot be had.
// The caller destroys it.
CFile *OpenArchiveAgain();

// 1 when the user answered Yes to the welcome prompt.
u32 ConfirmWelcome();
// 1 when gGameFolder was set from the registry.
u32 FindGameFolder();
// Returns only when the installation passes; refusals end the process.
u32 CheckInstallation();

// Shows the progress dialog while a worker proves the DATA archive whole
// and then copies DATA\Files into the game folder. 1 when the copy ran (a
// dialog that cannot be shown counts as an incomplete copy); 0 when the
// archive is broken, and then nothing in the game folder was touched.
u32 RunCopyDialog();
// The worker: `run` is RunCopyDialog's record of the run.
void CopyWorker(void *run);
// Copies a directory of the DATA mount (no trailing backslash) recursively,
// each file through a temporary file beside its target.
void CopyTree(const char *dir);
void MakeTargetDir(const char *dir);
// 1 when the file was copied whole and took its target's place; 0 leaves
// the target as it was.
u32 CopyOneFile(const char *src);

void WriteGameVersion();
void CreateClientShortcut();
void FindShortcutFolder(const char *folder);
void WriteShortcut(const char *folder);
void OfferGameSpyInstall();
