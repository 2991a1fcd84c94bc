// The commands of patchkit. Each gets the arguments after its own name
// (argv[0] is the command name) and returns the process exit code:
// 0 success, 1 failure, 2 bad usage.
#pragma once

#include <string>

#include "config/ini_check.h"
#include "core/errors.h"

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
