#include "tools/sign.h"

#include <cstdio>

#include "archive/archive_open.h"
#include "fs/file.h"
#include "fs/mount_table.h"
#include "tools/run_program.h"

namespace {

const char kSigner[] = "osslsigncode";

}  // namespace

bool SignerAvailable() {
  if (RunProgram({kSigner, "--version"}, true) == 0) return true;
  fprintf(stderr,
          "patchkit: --sign runs %s, which is not installed (on Debian: "
          "apt-get install %s)\n",
          kSigner, kSigner);
  return false;
}

bool SignPatch(const char *in, const char *out, const char *cert,
               const char *key, const char *password) {
  std::vector<std::string> args = {kSigner, "sign", "-certs", cert, "-key", key};
  if (password) {
    args.push_back("-pass");
    args.push_back(password);
  }
  args.insert(args.end(), {"-in", in, "-out", out});
  FsDelete(out);  // the signer does not replace its output
  int code = RunProgram(args);
  if (code != 0) {
    fprintf(stderr, "patchkit: %s could not sign %s (exit code %d)\n", kSigner,
            out, code);
    FsDelete(out);
    return false;
  }
  // The signature follows the container: it must still be found and read.
  Error e = nullptr;
  CFile *file = FsOpen(out, FOM_READ | FOM_SHAREREAD, &e);
  CFile *container = file ? OpenContainer(file, true, &e) : nullptr;
  u32 at = 0;
  if (container) e = ReadThrough(container, &at);
  bool readable = container && !e;
  delete container;
  if (!readable) {
    fprintf(stderr, "patchkit: %s: the signed patch's archive cannot be read: %s\n",
            out, ErrorText(e ? e : ERR_INVALIDFORMAT));
    FsDelete(out);
    return false;
  }
  return true;
}
