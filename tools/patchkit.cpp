// patchkit: the game maker's tool for building and inspecting patches.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/commands.h"

namespace {

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
     "        [--no-check] -o OUT\n"
     "      a patch executable: the patcher followed by its archive; without\n"
     "      --stub, the installed patcher of the target (default windows);\n"
     "      with --from, only the files of DIR that are new or differ from\n"
     "      OLD_DIR; the INI is checked first and errors refuse the build;\n"
     "      --sign signs it with Authenticode (osslsigncode)"},
    {"check", CmdCheck,
     "check PATCH.INI\n"
     "      every key the patcher reads, its versions, formats and lengths;\n"
     "      errors and warnings with their line numbers (build runs it too)"},
    {"list", CmdList,
     "list FILE\n"
     "      SIZE<TAB>NAME of every file in a pack, pool file, LZSS\n"
     "      container of either, or patch executable"},
    {"extract", CmdExtract,
     "extract FILE DIR\n"
     "      every file of such an archive written under DIR"},
    {"verify", CmdVerify,
     "verify FILE\n"
     "      decodes every block and reads every member; says what is wrong"},
    {"pack", CmdPack,
     "pack DIR OUT\n"
     "      a pack archive of every file under DIR"},
    {"pool", CmdPool,
     "pool DIR OUT [--block-size N]\n"
     "      a pool file system image of every file under DIR"},
    {"lzss", CmdLzss,
     "lzss compress [--code 0xC4] [--block-size 32768] IN OUT\n"
     "  lzss decompress IN OUT\n"
     "      LZSS block-compressed containers"},
};

void PrintHelp(FILE *out) {
  fprintf(out, "usage: patchkit COMMAND ARGS...\n\ncommands:\n");
  for (const Command &c : kCommands) fprintf(out, "  %s\n", c.usage);
  fprintf(out,
          "\nExit code: 0 success, 1 failure, 2 bad usage.\n");
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
  for (const Command &c : kCommands)
    if (!strcmp(argv[1], c.name)) return c.run(argc - 1, argv + 1);
  return UsageError(std::string("unknown command '") + argv[1] + "'");
}
