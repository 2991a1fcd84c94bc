// patchkit: the game maker's tool for building and inspecting patches.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "tools/commands.h"

namespace {

const char kPatchkitVersion[] = "1.1";

// More threads than this would only hold memory.
const unsigned long kMaxWorkers = 1024;

struct Command {
  const char *name;
  int (*run)(int, char **);
  const char *usage;
};

const Command kCommands[] = {
    {"build", CmdBuild,
     "build [--stub PATCHER | --target windows|linux] --ini PATCH.INI\n"
     "        --files DIR [--from OLD_DIR [--allow-empty]]\n"
     "        [--sign CERT KEY [--sign-pass PASSWORD]] [--code 0xC4]\n"
     "        [--no-check] [-j N] [--no-verify] [--quiet] -o OUT\n"
     "      a patch executable: the patcher followed by its archive; without\n"
     "      --stub, the installed patcher of the target (default windows);\n"
     "      with --from, only the files of DIR that are new or differ from\n"
     "      OLD_DIR; the INI is checked first and errors refuse the build;\n"
     "      --sign signs it with Authenticode (osslsigncode); coded on N\n"
     "      threads (default: every core), then read back and compared with\n"
     "      its sources (--no-verify: not)"},
    {"check", CmdCheck,
     "check PATCH.INI\n"
     "      every key the patcher reads, its versions, formats and lengths;\n"
     "      errors and warnings with their line numbers (build runs it too)"},
    {"info", CmdInfo,
     "info FILE\n"
     "      where the container starts, its code, block size and blocks,\n"
     "      stored and plain sizes, members, and the checksum record"},
    {"list", CmdList,
     "list FILE\n"
     "      SIZE<TAB>NAME of every file in a pack, pool file, LZSS\n"
     "      container of either, or patch executable"},
    {"extract", CmdExtract,
     "extract [--quiet] FILE DIR\n"
     "      every file of such an archive written under DIR"},
    {"verify", CmdVerify,
     "verify [--quiet] FILE\n"
     "      decodes every block and reads every member; says what is wrong"},
    {"pack", CmdPack,
     "pack DIR OUT\n"
     "      a pack archive of every file under DIR"},
    {"pool", CmdPool,
     "pool DIR OUT [--block-size N]\n"
     "      a pool file system image of every file under DIR"},
    {"lzss", CmdLzss,
     "lzss compress [--code 0xC4] [--block-size 32768] [-j N] [--quiet] IN OUT\n"
     "  lzss decompress [--quiet] IN OUT\n"
     "      LZSS block-compressed containers"},
};

void PrintHelp(FILE *out) {
  fprintf(out, "usage: patchkit COMMAND ARGS...\n\ncommands:\n");
  for (const Command &c : kCommands) fprintf(out, "  %s\n", c.usage);
  fprintf(out,
          "\nbuild, extract, verify and lzss draw a progress bar on standard\n"
          "error when it is a terminal; --quiet silences it.\n"
          "Exit code: 0 success, 1 failure, 2 bad usage.\n");
}

}  // namespace

int Fail(const std::string &context, Error code) {
  fprintf(stderr, "patchkit: %s: %s\n", context.c_str(), ErrorText(code));
  return kExitFailure;
}

int UsageError(const std::string &message) {
  fprintf(stderr, "patchkit: %s\n(patchkit --help lists the commands)\n",
          message.c_str());
  return kExitUsage;
}

bool ParseNumber(const char *text, unsigned long *value) {
  if (!text || !*text) return false;
  char *end = nullptr;
  unsigned long v = strtoul(text, &end, 0);
  if (*end != 0 || text[0] == '-') return false;
  *value = v;
  return true;
}

bool SplitQuiet(int argc, char **argv, const char **paths, int count,
                bool *quiet) {
  int found = 0;
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "--quiet")) {
      *quiet = true;
    } else if (found < count && (argv[i][0] != '-' || argv[i][1] == 0)) {
      paths[found++] = argv[i];
    } else {
      return false;
    }
  }
  return found == count;
}

u32 DefaultWorkers() {
  unsigned cores = std::thread::hardware_concurrency();
  return cores ? cores : 1;
}

bool ParseWorkers(const char *text, u32 *workers) {
  unsigned long v = 0;
  if (!ParseNumber(text, &v) || v < 1 || v > kMaxWorkers) return false;
  *workers = static_cast<u32>(v);
  return true;
}

int main(int argc, char **argv) {
  if (argc < 2) {
    PrintHelp(stderr);
    return kExitUsage;
  }
  if (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h") ||
      !strcmp(argv[1], "help")) {
    PrintHelp(stdout);
    return kExitOk;
  }
  if (!strcmp(argv[1], "--version")) {
    printf("patchkit %s\n", kPatchkitVersion);
    return kExitOk;
  }
  for (const Command &c : kCommands)
    if (!strcmp(argv[1], c.name)) return c.run(argc - 1, argv + 1);
  return UsageError(std::string("unknown command '") + argv[1] + "'");
}
