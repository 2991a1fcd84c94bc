// The finishing actions after a complete copy: the new version in the
// registry, the online client's shortcut, the optional installer. None of
// them reports a failure.
#include <cstring>

#include "config/catalogue.h"
#include "fs/mount_table.h"
#include "core/text.h"
#include "patcher/patcher.h"
#include "patcher/platform.h"

u32 gShortcutMade;

namespace {

bool IsVaskFolderName(const char *name) {
  const char *want = "vask";
  for (; *want; name++, want++) {
    char c = *name;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != *want) return false;
  }
  return *name == 0;
}

}  // namespace

void WriteGameVersion() {
  u32 version = GetHexNumber("ver");
  if (PlatformRegKey *key = PlatformRegOpen(true)) {
    PlatformRegSetDword(key, "GameVersion", version);
    PlatformRegClose(key);
  }
}

void CreateClientShortcut() {
  if (!GetFlag("zel_shortcut")) return;
  char programs[260];
  if (!PlatformGetProgramsFolder(programs, sizeof programs)) return;
  gShortcutMade = 0;
  FindShortcutFolder(programs);
  if (gShortcutMade == 0) WriteShortcut(programs);
}

void FindShortcutFolder(const char *folder) {
  char base[256];
  if (!CopyText(base, sizeof base, folder) ||
      !AppendSeparator(base, sizeof base))
    return;
  size_t baseLength = strlen(base);
  FindRecord record;
  memset(&record, 0, sizeof record);
  if (FsFindFirst(&record, base) != nullptr) {
    FsFindClose(&record);
    return;
  }
  do {
    if (!(record.attributes & 0x10)) continue;
    base[baseLength] = 0;
    if (!AppendText(base, sizeof base, record.name)) continue;
    if (IsVaskFolderName(record.name)) WriteShortcut(base);
    if (record.name[0] != '.') FindShortcutFolder(base);
  } while (FsFindNext(&record) == nullptr);
  FsFindClose(&record);
}

void WriteShortcut(const char *folder) {
  char name[256];
  CopyText(name, sizeof name, GetText("zel_name"));
  char link[260], workingDir[260], target[260];
  bool fits = CopyText(link, sizeof link, folder) &&
              AppendSeparator(link, sizeof link) &&
              AppendText(link, sizeof link, name) &&
              AppendText(link, sizeof link, PlatformShortcutExtension()) &&
              CopyText(workingDir, sizeof workingDir, gGameFolder) &&
              AppendText(workingDir, sizeof workingDir, "zel") &&
              CopyText(target, sizeof target, workingDir) &&
              AppendText(target, sizeof target, "\\zelclient.exe");
  if (!fits) return;
  PlatformWriteShortcut(link, target, workingDir, target, name);
  gShortcutMade++;
}

void OfferGameSpyInstall() {
  if (GetText("gamespy")[0] == 0) return;
  if (AskUser("gamespy", kMbYesNo) != kIdYes) return;
  char command[260];
  if (CopyText(command, sizeof command, gGameFolder) &&
      AppendText(command, sizeof command,
                 "GameSpy Arcade\\ArcadeInstallFull101b.EXE"))
    PlatformStartProgram(command);
}
