#include <cstdio>

#include "archive/archive_open.h"
#include "fs/file.h"
#include "tools/commands.h"
#include "tools/fs_session.h"

namespace {

struct ListState {
  int failures;
};

int PrintMember(const char *path, CFile *file, Error openError, void *ctx) {
  if (!file) {
    fprintf(stderr, "patchkit: %s: %s\n", path, ErrorText(openError));
    static_cast<ListState *>(ctx)->failures++;
    return 0;
  }
  printf("%u\t%s\n", file->GetSize(), path);
  return 0;
}

}  // namespace

int CmdList(int argc, char **argv) {
  if (argc != 2) return UsageError("usage: patchkit list FILE");
  FsSession session;
  Error e = nullptr;
  CFileService *archive = OpenArchivePath(argv[1], &e);
  if (!archive) return Fail(argv[1], e);
  ListState state = {0};
  e = WalkArchive(archive, "", PrintMember, &state);
  delete archive;
  if (e) return Fail(argv[1], e);
  return state.failures ? kExitFailure : kExitOk;
}
