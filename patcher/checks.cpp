// The installation checks: the welcome prompt, the game folder, the game
// executable, the version range and the language.
#include <cstring>

#include "config/catalogue.h"
#include "config/hash_ini.h"
#include "core/ptr_pool.h"
#include "fs/file.h"
#include "fs/mount_table.h"
#include "archive/archive_open.h"
#include "core/text.h"
#include "patcher/patcher.h"
#include "patcher/platform.h"

namespace {

const u32 kSharedRead = FOM_READ | FOM_SHAREREAD | FOM_SHAREWRITE;

bool EqualsIgnoringCase(const char *a, const char *b) {
  for (;; a++, b++) {
    unsigned char ca = static_cast<unsigned char>(*a);
    unsigned char cb = static_cast<unsigned char>(*b);
    if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca + 32);
    if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb + 32);
    if (ca != cb) return false;
    if (ca == 0) return true;
  }
}

// True when `ini` (a file of the game's language archive) holds
// section/key with a value other than `expected`.
bool IniValueDiffers(CFileService *fs, const char *path, const char *section,
                     const char *key, const char *expected) {
  CFile *file = fs->Open(path, kSharedRead, nullptr);
  if (!file) return false;
  CHashIni *ini = new CHashIni(20, 500, new CSizedPtrPool(), 1);
  ini->LoadIni(file);
  char value[256];
  bool differs = ini->GetValue(section, key, value, sizeof value) == nullptr &&
                 !EqualsIgnoringCase(value, expected);
  delete ini;
  delete file;
  return differs;
}

// The game's localised archive as a file service (a pool file system or a
// pack, either possibly inside an LZSS container); null when there is none.
CFileService *OpenLanguageArchive() {
  char path[512];
  if (!CopyText(path, sizeof path, gGameFolder) ||
      !AppendText(path, sizeof path, "packs\\local.wdt"))
    return nullptr;
  CFile *file = FsOpen(path, kSharedRead, nullptr);
  return file ? OpenArchive(file, false, nullptr) : nullptr;
}

}  // namespace

u32 ConfirmWelcome() {
  char folder[256] = {0};
  u32 major = 1, minor = 0;
  PlatformRegKey *key = PlatformRegOpen(false);
  if (key) {
    u32 version;
    if (PlatformRegQueryDword(key, "GameVersion", &version)) {
      major = version >> 16;
      minor = version & 0xFFFF;
    }
    if (!PlatformRegQueryString(key, "Path", folder, sizeof folder))
      folder[0] = 0;
    PlatformRegClose(key);

    char message[256];
    bool haveWelcome2 = FormatWelcome2(message, sizeof message,
                                       static_cast<i32>(major),
                                       static_cast<i32>(minor), folder);
    // The folder as read, without a separator: a Path without its trailing
    // backslash names no file here and the plain welcome follows.
    char exe[512];
    bool exists = CopyText(exe, sizeof exe, folder) &&
                  AppendText(exe, sizeof exe, "vask.exe") && FsExists(exe);
    if (exists && haveWelcome2)
      return AskUserText(message, kMbYesNo | kMbIconInformation) == kIdYes;
  }
  return AskUser("welcome", kMbYesNo | kMbIconInformation) == kIdYes;
}

u32 FindGameFolder() {
  PlatformRegKey *key = PlatformRegOpen(false);
  if (!key) return 0;
  char folder[256];
  bool ok = PlatformRegQueryString(key, "Path", folder, sizeof folder);
  PlatformRegClose(key);
  // A 255-character Path leaves no room for the separator: refused rather
  // than cut.
  if (!ok || !AppendSeparator(folder, sizeof folder)) return 0;
  if (folder[0] == 0 && !AppendText(folder, sizeof folder, "\\")) return 0;
  memcpy(gGameFolder, folder, sizeof gGameFolder);
  return 1;
}

u32 CheckInstallation() {
  // The game executable.
  char exe[512];
  CFile *game = nullptr;
  if (CopyText(exe, sizeof exe, gGameFolder) &&
      AppendText(exe, sizeof exe, "Vask.exe"))
    game = FsOpen(exe, kSharedRead, nullptr);
  if (!game) FatalMessage("novask");
  delete game;

  // The version range; no key, no check.
  u32 ver = GetHexNumber("ver");
  u32 vermin = GetHexNumber("vermin");
  if (PlatformRegKey *key = PlatformRegOpen(false)) {
    u32 installed;
    bool ok = PlatformRegQueryDword(key, "GameVersion", &installed);
    PlatformRegClose(key);
    if (!ok) FatalMessage("errvermin");
    if (installed > ver) FatalMessage("noneed");
    if (installed < vermin) FatalMessage("errvermin");
  }

  // The language; no `lang`, no check of any kind.
  char lang[256];
  CopyText(lang, sizeof lang, GetText("lang"));
  if (lang[0] == 0) return 1;

  if (PlatformRegKey *key = PlatformRegOpen(false)) {
    char language[256];
    bool ok = PlatformRegQueryString(key, "Language", language, sizeof language);
    PlatformRegClose(key);
    if (ok && !EqualsIgnoringCase(language, lang)) FatalMessage("wronglang");
  }

  CFileService *archive = OpenLanguageArchive();
  if (!archive) return 1;
  bool wrong =
      IniValueDiffers(archive, "LOCAL\\strings3.ini", "system", "language",
                      lang) ||
      IniValueDiffers(archive, "LOCAL\\strings.ini", "objects", "peon",
                      "peasant");
  delete archive;
  if (wrong) FatalMessage("wronglang");
  return 1;
}
