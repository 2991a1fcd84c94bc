// The commands of patchkit. Each gets the arguments after its own name
// (argv[0] is the command name) and returns the process exit code:
// 0 success, 1 failure, 2 bad usage.
#pragma once

#include <string>

#include "config/ini_check.h"
#include "core/errors.h"
#include "core/types.h"

const int kExitOk = 0;
const int kExitFailure = 1;
const int kExitUsage = 2;

int CmdPack(int argc, char **argv);     // pack DIR OUT
int CmdList(int argc, char **argv);     // list FILE
int CmdExtract(int argc, char **argv);  // extract FILE DIR
int CmdVerify(int argc, char **argv);   // verify FILE
int CmdLzss(int argc, char **argv);     // lzss compress|decompress ...
int CmdPool(int argc, char **argv);     // pool DIR OUT [--block-size N]
int CmdBuild(int argc, char **argv);    // build --stub ... -o OUT
int CmdInfo(int argc, char **argv);     // info FILE
int CmdCheck(int argc, char **argv);    // check PATCH.INI

// Checks the INI at `path` with the file services up, printing every finding
// as "PATH:LINE: error|warning: TEXT" on standard error. kExitFailure when
// it has errors or cannot be read (then said), else kExitOk.
int CheckIniFile(const char *path, IniCheckCounts *countsOut);

// "patchkit: CONTEXT: CODE" on standard error; returns kExitFailure.
int Fail(const std::string &context, Error code);
// "patchkit: MESSAGE" and a pointer to --help; returns kExitUsage.
int UsageError(const std::string &message);
// Parses a number in C notation (0x.. hexadecimal); false when it is not one.
bool ParseNumber(const char *text, unsigned long *value);
// The arguments after the command name as exactly `count` paths, with
// "--quiet" anywhere among them setting *quiet; false for anything else.
bool SplitQuiet(int argc, char **argv, const char **paths, int count,
                bool *quiet);
// The machine's cores (at least 1): the default of -j.
u32 DefaultWorkers();
// The value of -j: 1 to 1024 threads; false when it is not one.
bool ParseWorkers(const char *text, u32 *workers);
