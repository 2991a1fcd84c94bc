#include <cstdio>

#include "archive/archive_open.h"
#include "archive/pack_fs.h"
#include "archive/patch_sums.h"
#include "fs/file.h"
#include "tools/commands.h"
#include "tools/fs_session.h"
#include "tools/progress_bar.h"

namespace {

struct VerifyState {
  u32 members;
  u64 bytes;
  u32 failures;
  ProgressBar *bar;
};

int CheckMember(const char *path, CFile *file, Error openError, void *ctx) {
  VerifyState *state = static_cast<VerifyState *>(ctx);
  Error e = openError;
  u32 at = 0;
  ProgressSink sink = state->bar->Sink();
  state->bar->SetOffset(state->bytes);
  if (file) e = ReadThrough(file, &at, &sink);
  if (e) {
    state->bar->Clear();
    fprintf(stderr, "patchkit: member %s: %s (at byte %u)\n", path,
            ErrorText(e), at);
    state->failures++;
  } else {
    state->members++;
    state->bytes += file->GetSize();
  }
  return 0;
}

}  // namespace

int CmdVerify(int argc, char **argv) {
  const char *path = nullptr;
  bool quiet = false;
  if (!SplitQuiet(argc, argv, &path, 1, &quiet))
    return UsageError("usage: patchkit verify [--quiet] FILE");
  FsSession session;
  ProgressBar bar(quiet);
  Error e = nullptr;
  u32 failures = 0;

  // Every block of the container, when there is one.
  CFile *file = FsOpen(path, FOM_READ | FOM_SHAREREAD, &e);
  if (!file) return Fail(path, e);
  CFile *container = OpenContainer(file, true, &e);
  if (container) {
    u32 at = 0;
    bar.Begin(container->GetSize());
    ProgressSink sink = bar.Sink();
    e = ReadThrough(container, &at, &sink);
    bar.Clear();
    if (e) {
      fprintf(stderr,
              "patchkit: %s: container block %u (byte %u) cannot be read: %s\n",
              path, at / 32768, at, ErrorText(e));
      failures++;
    } else {
      printf("container: %u bytes decoded\n", container->GetSize());
    }
    delete container;
  }

  // Every member of the archive.
  CFileService *archive = OpenArchivePath(path, &e);
  if (!archive) {
    Fail(path, e);
    return kExitFailure;
  }
  // A pack: its directory, and the checksum record when there is one.
  void *asPack = archive->Cast(CPackFS::sClassName);
  if (asPack) {
    PatchProof proof;
    bar.Begin(0);  // the total comes with the first report
    ProgressSink sink = bar.Sink();
    e = ProvePatchPack(static_cast<CPackFS *>(asPack), nullptr, sink.report,
                       sink.context, &proof);
    bar.Clear();
    if (e == SERR_BADCHECKSUM) {
      fprintf(stderr, "patchkit: member %s: its bytes do not match the checksum record\n",
              proof.failed);
    } else if (e) {
      fprintf(stderr, "patchkit: %s: %s%s%s\n", path, ErrorText(e),
              proof.failed[0] ? " at member " : "", proof.failed);
    } else if (proof.hasSums) {
      printf("checksums: %u members match the record\n", proof.members - 1);
    } else {
      printf("checksums: none recorded\n");
    }
    if (e) failures++;
  }
  VerifyState state = {0, 0, 0, &bar};
  u32 members = 0;
  u64 bytes = 0;
  if (bar.Draws()) TallyArchive(archive, &members, &bytes);
  bar.Begin(bytes);
  e = WalkArchive(archive, "", CheckMember, &state);
  bar.Clear();
  delete archive;
  if (e) {
    Fail(std::string(path) + ": listing", e);
    failures++;
  }
  failures += state.failures;
  printf("members: %u read whole, %llu bytes; %u problem(s)\n", state.members,
         static_cast<unsigned long long>(state.bytes), failures);
  return failures ? kExitFailure : kExitOk;
}
