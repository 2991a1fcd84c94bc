// patchkit lzss: converts between plain files and LZSS containers.
#include <cstring>
#include <string>

#include "archive/lzss.h"
#include "archive/lzss_writer.h"
#include "fs/file.h"
#include "fs/mount_table.h"
#include "tools/commands.h"
#include "tools/fs_session.h"
#include "tools/progress_bar.h"

namespace {

const char kUsage[] =
    "usage: patchkit lzss compress [--code 0xC4] [--block-size 32768] [-j N]\n"
    "                              [--quiet] IN OUT\n"
    "       patchkit lzss decompress [--quiet] IN OUT";

const u32 kReadMode = FOM_READ | FOM_SHAREREAD;
const u32 kCreateMode = FOM_READ | FOM_WRITE | FOM_CREATE | FOM_REPLACE;

// Opens both files, runs `convert` and reports the file at fault.
int Convert(const char *inPath, const char *outPath, bool compress, u8 code,
            u32 blockSize, u32 workers, bool quiet) {
  FsSession session;
  Error e = nullptr;
  CFile *in = FsOpen(inPath, kReadMode, &e);
  if (!in) return Fail(inPath, e ? e : FERR_OPENFAIL);
  CFile *out = FsOpen(outPath, kCreateMode, &e);
  if (!out) {
    delete in;
    return Fail(outPath, e ? e : FERR_OPENFAIL);
  }
  ProgressBar bar(quiet);
  if (compress) {
    bar.Begin(in->GetSize());
    LzssWriteOptions options = {workers, bar.Sink()};
    e = LzssCompressFile(in, out, code, blockSize, &options);
  } else {
    bar.Begin(0);  // the container's size, as the reports give it
    ProgressSink sink = bar.Sink();
    e = LzssDecompressFile(in, out, &sink);
  }
  bar.Clear();
  // Both files took part; name the input for format errors, the output
  // otherwise only when the input is fine.
  const char *blamed = inPath;
  if (e == FERR_WRITEFAIL || e == FERR_DISKFULL || e == FERR_TRUNCFAIL)
    blamed = outPath;
  Error flushError = e ? nullptr : out->Flush();
  delete out;
  delete in;
  if (e) {
    FsDelete(outPath);  // no half-written output is left behind
    return Fail(blamed, e);
  }
  if (flushError) return Fail(outPath, flushError);
  return kExitOk;
}

}  // namespace

int CmdLzss(int argc, char **argv) {
  if (argc < 2) return UsageError(kUsage);
  bool compress;
  if (!strcmp(argv[1], "compress")) {
    compress = true;
  } else if (!strcmp(argv[1], "decompress")) {
    compress = false;
  } else {
    return UsageError(std::string("unknown lzss mode '") + argv[1] + "'\n" +
                      kUsage);
  }
  unsigned long code = kLzssDefaultCode;
  unsigned long blockSize = kLzssDefaultBlockSize;
  u32 workers = DefaultWorkers();
  bool quiet = false;
  const char *paths[2] = {nullptr, nullptr};
  int pathCount = 0;
  for (int i = 2; i < argc; i++) {
    const char *a = argv[i];
    bool isCode = !strcmp(a, "--code");
    bool isBlock = !strcmp(a, "--block-size");
    if (!strcmp(a, "--quiet")) {
      quiet = true;
    } else if (!strncmp(a, "-j", 2)) {  // -j N or -jN
      if (!compress) return UsageError("-j applies to compress only");
      const char *count = a[2] ? a + 2 : i + 1 < argc ? argv[++i] : nullptr;
      if (!count || !ParseWorkers(count, &workers))
        return UsageError("-j needs a number of threads (1..1024)");
    } else if (isCode || isBlock) {
      if (!compress)
        return UsageError(std::string(a) + " applies to compress only");
      if (i + 1 >= argc) return UsageError(std::string(a) + " needs a value");
      unsigned long v;
      if (!ParseNumber(argv[++i], &v))
        return UsageError(std::string("not a number: '") + argv[i] + "'");
      if (isCode) {
        if (v > 0xFF || !LzssCodeIsValid(static_cast<u8>(v)))
          return UsageError(std::string("unknown code '") + argv[i] +
                            "' (0xA1..0xA5, 0xB1..0xB5, 0xC1..0xC5)");
        code = v;
      } else {
        if (v == 0 || v > 0x10000000ul)
          return UsageError(std::string("block size out of range: '") +
                            argv[i] + "' (1..268435456)");
        blockSize = v;
      }
    } else if (a[0] == '-' && a[1] != 0) {
      return UsageError(std::string("unknown option '") + a + "'\n" + kUsage);
    } else if (pathCount < 2) {
      paths[pathCount++] = a;
    } else {
      return UsageError(std::string("too many arguments\n") + kUsage);
    }
  }
  if (pathCount != 2) return UsageError(kUsage);
  return Convert(paths[0], paths[1], compress, static_cast<u8>(code),
                 static_cast<u32>(blockSize), workers, quiet);
}
