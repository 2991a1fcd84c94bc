#include <cstdio>
#include <cstring>

#include <string>
#include <vector>

#include "archive/patch_builder.h"
#include "archive/release_diff.h"
#include "tools/commands.h"
#include "tools/exec_mode.h"
#include "tools/fs_session.h"
#include "tools/progress_bar.h"
#include "tools/sign.h"
#include "tools/stub_path.h"

namespace {

const char kUsage[] =
    "usage: patchkit build [--stub PATCHER | --target windows|linux] "
    "--ini PATCH.INI --files DIR [--from OLD_DIR [--allow-empty]] "
    "[--sign CERT KEY [--sign-pass PASSWORD]] [--code 0xC4] [--no-check] "
    "[-j N] [--no-verify] [--quiet] -o OUT";

struct Release {
  std::vector<std::string> in;  // new and changed files: the patch
  unsigned unchanged = 0, removed = 0, added = 0;
};

void Sort(const char *path, ReleaseChange change, void *context) {
  Release *r = static_cast<Release *>(context);
  switch (change) {
    case kReleaseNew:
      printf("in:   %s (new)\n", path);
      r->in.push_back(path);
      r->added++;
      break;
    case kReleaseChanged:
      printf("in:   %s (changed)\n", path);
      r->in.push_back(path);
      break;
    case kReleaseUnchanged:
      printf("out:  %s (unchanged)\n", path);
      r->unchanged++;
      break;
    case kReleaseRemoved:
      fprintf(stderr,
              "patchkit: warning: %s is gone from the new release; a patch "
              "cannot delete it, so it stays on players' machines\n",
              path);
      r->removed++;
      break;
  }
}

}  // namespace

int CmdBuild(int argc, char **argv) {
  const char *stub = nullptr, *ini = nullptr, *files = nullptr, *out = nullptr;
  const char *target = nullptr;
  const char *cert = nullptr, *key = nullptr, *password = nullptr;
  const char *from = nullptr;
  bool allowEmpty = false;
  unsigned long code = 0xC4;
  bool check = true;
  PatchBuildOptions options = {DefaultWorkers(), true, {nullptr, nullptr}};
  bool quiet = false;
  for (int i = 1; i < argc; i++) {
    const char *arg = argv[i];
    if (!strcmp(arg, "--no-check")) {
      check = false;
      continue;
    }
    if (!strcmp(arg, "--no-verify")) {
      options.prove = false;
      continue;
    }
    if (!strcmp(arg, "--quiet")) {
      quiet = true;
      continue;
    }
    if (!strcmp(arg, "--allow-empty")) {
      allowEmpty = true;
      continue;
    }
    if (!strncmp(arg, "-j", 2) && arg[2]) {  // -jN, as make and the benches write it
      if (!ParseWorkers(arg + 2, &options.workers))
        return UsageError(std::string("bad ") + arg + " (1..1024)");
      continue;
    }
    if (!strcmp(arg, "--sign")) {
      if (i + 2 >= argc) return UsageError("--sign needs CERT and KEY");
      cert = argv[++i];
      key = argv[++i];
      continue;
    }
    if (i + 1 >= argc) return UsageError(std::string("missing value after ") + arg);
    const char *value = argv[++i];
    if (!strcmp(arg, "--stub")) stub = value;
    else if (!strcmp(arg, "--target")) target = value;
    else if (!strcmp(arg, "--ini")) ini = value;
    else if (!strcmp(arg, "--files")) files = value;
    else if (!strcmp(arg, "-o")) out = value;
    else if (!strcmp(arg, "--sign-pass")) password = value;
    else if (!strcmp(arg, "--from")) from = value;
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
  if (!ini || !files || !out) return UsageError(kUsage);
  if (stub && target) return UsageError("--stub and --target exclude each other");
  if (password && !cert) return UsageError("--sign-pass goes with --sign");
  if (allowEmpty && !from) return UsageError("--allow-empty goes with --from");
  if (!target) target = "windows";
  if (strcmp(target, "windows") && strcmp(target, "linux"))
    return UsageError(std::string("unknown --target ") + target +
                      " (windows or linux)");
  FsSession session;
  if (cert && !SignerAvailable()) return kExitFailure;
  std::string found;
  if (!stub) {
    std::string looked;
    if (!FindStub(target, &found, &looked)) {
      fprintf(stderr,
              "patchkit: no %s patcher stub beside patchkit (looked for %s); "
              "pass --stub PATCHER\n",
              target, looked.c_str());
      return kExitFailure;
    }
    stub = found.c_str();
  }
  if (check) {
    IniCheckCounts counts;
    if (CheckIniFile(ini, &counts) != kExitOk) {
      fprintf(stderr,
              "patchkit: %s: %u error(s): no patch built (--no-check builds "
              "it all the same)\n",
              ini, counts.errors);
      return kExitFailure;
    }
  }
  // From a release: only what changed, named as the folder's listing names it.
  Release release;
  std::vector<const char *> members;
  if (from) {
    char failed[512];
    Error e = CompareReleases(from, files, Sort, &release, failed, sizeof failed);
    if (e) return Fail(*failed ? failed : files, e);
    printf("%u new and %zu changed file(s) go in, %u unchanged left out",
           release.added, release.in.size() - release.added, release.unchanged);
    if (release.removed) printf(", %u gone from the new release", release.removed);
    printf("\n");
    if (release.in.empty() && !allowEmpty) {
      fprintf(stderr,
              "patchkit: no file of %s differs from %s: no patch built "
              "(--allow-empty builds one that only records the version)\n",
              files, from);
      return kExitFailure;
    }
    for (const std::string &path : release.in) members.push_back(path.c_str());
    members.push_back(nullptr);  // a list even when empty
  }

  // A patch to be signed is built beside its output first.
  std::string built = cert ? std::string(out) + ".unsigned.tmp" : out;
  PatchBuildInfo info;
  char failed[300];
  ProgressBar bar(quiet);
  bar.Begin(0);  // the total comes with the first report
  options.progress = bar.Sink();
  Error e = BuildPatchFiles(stub, ini, files, from ? members.data() : nullptr,
                            from ? static_cast<u32>(members.size() - 1) : 0,
                            static_cast<u8>(code), built.c_str(), &info, failed,
                            sizeof failed, &options);
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
  if (cert) {
    bool signedOk = SignPatch(built.c_str(), out, cert, key, password);
    FsDelete(built.c_str());
    if (!signedOk) return kExitFailure;
  }
  CopyExecutePermission(stub, out);
  printf("%s: %u bytes: patcher %u + container %u (pack %u bytes, %u members",
         out, info.stubSize + info.gap + info.containerSize, info.stubSize,
         info.containerSize, info.packSize, info.members);
  if (info.padding) printf(", %u bytes of padding", info.padding);
  printf(")\n");
  if (cert) printf("%s: signed with %s\n", out, cert);
  return kExitOk;
}
