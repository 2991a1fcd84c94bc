#include <cstdio>

#include "archive/archive_open.h"
#include "fs/file.h"
#include "tools/commands.h"
#include "tools/fs_session.h"

namespace {

void Report(const char *path, Error error, void *) {
  fprintf(stderr, "patchkit: %s: %s%s\n", *path ? path : "(listing)",
          ErrorText(error),
          error == ERR_BADPARAMS ? " (name refused: it would land outside "
                                   "the target folder or cannot be named)"
                                 : "");
}

}  // namespace

int CmdExtract(int argc, char **argv) {
  if (argc != 3) return UsageError("usage: patchkit extract FILE DIR");
  FsSession session;
  Error e = nullptr;
  CFileService *archive = OpenArchivePath(argv[1], &e);
  if (!archive) return Fail(argv[1], e);
  u32 failures = ExtractArchive(archive, argv[2], Report, nullptr);
  delete archive;
  return failures ? kExitFailure : kExitOk;
}
