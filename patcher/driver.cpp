// The run of the patcher, start to finish, on the main thread.
#include <cstring>

#include "archive/lzss_file.h"
#include "archive/pack_fs.h"
#include "config/catalogue.h"
#include "config/hash_ini.h"
#include "core/ptr_pool.h"
#include "fs/file_window.h"
#include "fs/mount_table.h"
#include "archive/archive_open.h"
#include "core/text.h"
#include "patcher/patcher.h"
#include "patcher/platform.h"

char gGameFolder[256];
u8 gIncomplete;

namespace {

const char kMutexName[] = "Vask_The_Salt_Road_Ver_01";

// The one message that does not come from Patch.ini: a patch that cannot
// be read (no archive, a container, pack or Patch.ini that does not read, an
// archive that fails its proof) has no texts to speak with.
[[noreturn]] void PatchIsBroken() {
  PlatformMessageBox("Patch file is broken!", "VASK Patch", kMbOk);
  PlatformExitProcess(-1);
}

const u32 kExecutableMode = FOM_READ | FOM_SHAREREAD | FOM_SHAREWRITE;

// The executable's host file, which the window over it reads through; it
// outlives the DATA mount and goes at the teardown. Its path and where the
// archive starts in it, for a second reader.
CFile *sExecutable;
char sExecutablePath[256];
u32 sArchiveAt;

// The archive in the executable `exe` from `position` on: a window over it
// and the LZSS file over the window, which owns it (and `exe` with
// `ownsExe`).
CFile *ArchiveFile(CFile *exe, u32 position, u8 ownsExe) {
  CFileWindow *window = new CFileWindow(
      exe, position, EmbeddedArchiveLength(exe, position), ownsExe);
  return new CLzssFile(window, 1);
}

}  // namespace

u32 LocateEmbeddedArchive() {
  char *path = sExecutablePath;
  if (!PlatformGetExecutablePath(path, sizeof sExecutablePath)) return 0;
  CFile *exe = FsOpen(path, kExecutableMode, nullptr);
  if (!exe) return 0;
  sExecutable = exe;
  if (!FindEmbeddedArchive(exe, &sArchiveAt)) PatchIsBroken();
  // A failure shows later as an unreadable DATA\Patch.ini.
  MountPack(ArchiveFile(exe, sArchiveAt, 0), "DATA");
  return 1;
}

CFile *OpenArchiveAgain() {
  CFile *exe = sExecutable ? FsOpen(sExecutablePath, kExecutableMode, nullptr)
                           : nullptr;
  if (!exe) return nullptr;
  CFile *archive = ArchiveFile(exe, sArchiveAt, 1);
  if (!archive->valid) {
    delete archive;
    return nullptr;
  }
  return archive;
}

int PatcherRun() {
  MountTableInit(8);
  HostFsInit();
  // An executable that cannot be opened has nothing to show.
  if (!LocateEmbeddedArchive()) return -1;

  gPatchIni = new CHashIni(20, 500, new CSizedPtrPool(), 1);
  if (gPatchIni->LoadIniFile("DATA\\Patch.ini") != nullptr) PatchIsBroken();

  if (!ConfirmWelcome()) return -1;
  if (PlatformCreateMutex(kMutexName) == 0) FatalMessage("vaskrun");
  if (!FindGameFolder()) FatalMessage("novask");
  CheckInstallation();
  if (!RunCopyDialog()) PatchIsBroken();

  if (gIncomplete) {
    AskUser("errnotcomplete", kMbOk);
  } else {
    WriteGameVersion();
    CreateClientShortcut();
    OfferGameSpyInstall();
    AskUser("done", kMbOk);
  }

  HostFsShutdown();
  MountTableShutdown();
  delete sExecutable;
  sExecutable = nullptr;
  return 0;
}
