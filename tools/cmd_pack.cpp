#include <string>

#include "archive/pack_writer.h"
#include "fs/file.h"
#include "fs/mount_table.h"
#include "tools/commands.h"
#include "tools/fs_session.h"

namespace {

const char *FailedOr(const CPackWriter &writer, const char *fallback) {
  const char *name = writer.GetFailedName();
  return name[0] ? name : fallback;
}

}  // namespace

int CmdPack(int argc, char **argv) {
  if (argc != 3) return UsageError("usage: patchkit pack DIR OUT");
  const char *dir = argv[1];
  const char *out = argv[2];
  FsSession session;
  CPackWriter writer;
  Error e = writer.AddFolder(dir, "");
  if (e) return Fail(FailedOr(writer, dir), e);
  if (writer.GetCount() == 0)
    return Fail(std::string(dir) + ": no files to pack", ERR_WHATAMESS);
  CFile *file = FsOpen(out, FOM_READ | FOM_WRITE | FOM_CREATE | FOM_REPLACE, &e);
  if (!file) return Fail(out, e ? e : ERR_ALLOCFAIL);
  e = writer.WritePack(file);
  delete file;
  if (e) {
    // No half-written pack is left behind.
    FsDelete(out);
    return Fail(FailedOr(writer, out), e);
  }
  return kExitOk;
}
