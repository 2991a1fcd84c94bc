#include <cstdio>
#include <cstring>

#include "archive/patch_builder.h"
#include "tools/commands.h"
#include "tools/exec_mode.h"
#include "tools/fs_session.h"
#include "tools/progress_bar.h"

namespace {

const char kUsage[] =
    "usage: patchkit build --stub PATCHER --ini PATCH.INI --files DIR "
    "[--code 0xC4] [-j N] [--no-verify] [--quiet] -o OUT";

}  // namespace

int CmdBuild(int argc, char **argv) {
  const char *stub = nullptr, *ini = nullptr, *files = nullptr, *out = nullptr;
  unsigned long code = 0xC4;
  PatchBuildOptions options = {DefaultWorkers(), true, {nullptr, nullptr}};
  bool quiet = false;
  for (int i = 1; i < argc; i++) {
    const char *arg = argv[i];
    if (!strcmp(arg, "--no-verify")) {
      options.prove = false;
      continue;
    }
    if (!strcmp(arg, "--quiet")) {
      quiet = true;
      continue;
    }
    if (i + 1 >= argc) return UsageError(std::string("missing value after ") + arg);
    const char *value = argv[++i];
    if (!strcmp(arg, "--stub")) stub = value;
    else if (!strcmp(arg, "--ini")) ini = value;
    else if (!strcmp(arg, "--files")) files = value;
    else if (!strcmp(arg, "-o")) out = value;
    else if (!strcmp(arg, "--code")) {
      if (!ParseNumber(value, &code) || code > 0xFF)
        return UsageError(std::string("bad --code ") + value);
    } else if (!strcmp(arg, "-j")) {
      if (!ParseWorkers(value, &options.workers))
        return UsageError(std::string("bad -j ") + value + " (1..1024)");
    } else {
      return UsageError(std::string("unknown option ") + arg);
    }
  }
  if (!stub || !ini || !files || !out) return UsageError(kUsage);
  FsSession session;
  PatchBuildInfo info;
  char failed[300];
  ProgressBar bar(quiet);
  bar.Begin(0);  // the total comes with the first report
  options.progress = bar.Sink();
  Error e = BuildPatch(stub, ini, files, static_cast<u8>(code), out, &info,
                       failed, sizeof failed, &options);
  bar.Clear();
  if (e) {
    if (e == ERR_INVALIDFORMAT && !strcmp(failed, stub))
      fprintf(stderr, "patchkit: %s already carries an archive\n", stub);
    if (info.proofFailed) {
      fprintf(stderr,
              "patchkit: %s does not read back as built: %s: %s; removed\n",
              out, *failed ? failed : out, ErrorText(e));
      return kExitFailure;
    }
    return Fail(*failed ? failed : out, e);
  }
  CopyExecutePermission(stub, out);
  printf("%s: %u bytes: patcher %u + container %u (pack %u bytes, %u members",
         out, info.stubSize + info.containerSize, info.stubSize,
         info.containerSize, info.packSize, info.members);
  if (info.padding) printf(", %u bytes of padding", info.padding);
  printf(")\n");
  return kExitOk;
}
