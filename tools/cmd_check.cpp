// patchkit check PATCH.INI
#include <cstdio>

#include "config/ini_check.h"
#include "fs/file.h"
#include "fs/mount_table.h"
#include "tools/commands.h"
#include "tools/fs_session.h"

namespace {

void PrintFinding(u32 line, IniFindingKind kind, const char *text,
                  void *context) {
  fprintf(stderr, "%s:%u: %s: %s\n", static_cast<const char *>(context), line,
          kind == kIniError ? "error" : "warning", text);
}

}  // namespace

int CheckIniFile(const char *path, IniCheckCounts *countsOut) {
  *countsOut = IniCheckCounts{0, 0};
  Error e = nullptr;
  CFile *file = FsOpen(path, FOM_READ | FOM_SHAREREAD, &e);
  if (!file) return Fail(path, e ? e : FERR_OPENFAIL);
  e = CheckPatchIni(file, PrintFinding, const_cast<char *>(path), countsOut);
  delete file;
  if (e) return Fail(path, e);
  return countsOut->errors ? kExitFailure : kExitOk;
}

int CmdCheck(int argc, char **argv) {
  if (argc != 2) return UsageError("usage: patchkit check PATCH.INI");
  FsSession session;
  IniCheckCounts counts;
  int code = CheckIniFile(argv[1], &counts);
  if (counts.errors || counts.warnings)
    fprintf(stderr, "%s: %u error(s), %u warning(s)\n", argv[1], counts.errors,
            counts.warnings);
  return code;
}
