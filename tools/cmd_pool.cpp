// patchkit pool DIR OUT [--block-size N]
#include <cstdio>
#include <cstring>
#include <string>

#include "archive/pool_file.h"
#include "archive/pool_image.h"
#include "fs/mount_table.h"
#include "tools/commands.h"
#include "tools/fs_session.h"

int CmdPool(int argc, char **argv) {
  const char *dir = nullptr;
  const char *out = nullptr;
  unsigned long blockSize = kPoolDefaultBlockSize;
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "--block-size")) {
      if (i + 1 >= argc || !ParseNumber(argv[i + 1], &blockSize))
        return UsageError("--block-size needs a number");
      i++;
    } else if (!dir) {
      dir = argv[i];
    } else if (!out) {
      out = argv[i];
    } else {
      return UsageError(std::string("pool: unexpected argument '") + argv[i] +
                        "'");
    }
  }
  if (!dir || !out) return UsageError("pool needs DIR and OUT");
  if (blockSize % 4 != 0 || blockSize < kPoolMinBlockSize ||
      blockSize > kPoolMaxBlockSize)
    return UsageError("--block-size must be a multiple of 4 from 32 to 1048576");

  FsSession session;
  PoolImageStats stats = {0, 0, 0};
  char failed[kPoolImagePathMax];
  Error e = BuildPoolImage(dir, out, static_cast<u32>(blockSize), &stats,
                           failed);
  if (e) return Fail(failed[0] ? failed : out, e);
  printf("%s: %u files, %u folders, %llu bytes, block size %lu\n", out,
         stats.files, stats.directories,
         static_cast<unsigned long long>(stats.bytes), blockSize);
  return kExitOk;
}
