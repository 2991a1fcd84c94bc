#include <cstdio>

#include "archive/archive_open.h"
#include "fs/file.h"
#include "tools/commands.h"
#include "tools/fs_session.h"
#include "tools/progress_bar.h"

namespace {

void Report(const char *path, Error error, void *context) {
  static_cast<ProgressBar *>(context)->Clear();
  fprintf(stderr, "patchkit: %s: %s%s\n", *path ? path : "(listing)",
          ErrorText(error),
          error == ERR_BADPARAMS ? " (name refused: it would land outside "
                                   "the target folder or cannot be named)"
                                 : "");
}

}  // namespace

int CmdExtract(int argc, char **argv) {
  const char *paths[2];
  bool quiet = false;
  if (!SplitQuiet(argc, argv, paths, 2, &quiet))
    return UsageError("usage: patchkit extract [--quiet] FILE DIR");
  FsSession session;
  Error e = nullptr;
  CFileService *archive = OpenArchivePath(paths[0], &e);
  if (!archive) return Fail(paths[0], e);
  ProgressBar bar(quiet);
  bar.Begin(0);
  ProgressSink sink = bar.Sink();
  u32 failures = ExtractArchive(archive, paths[1], Report, &bar,
                                sink.report ? &sink : nullptr);
  bar.Clear();
  delete archive;
  return failures ? kExitFailure : kExitOk;
}
