// Running another program from patchkit (osslsigncode for --sign). One
// implementation per platform.
#pragma once

#include <string>
#include <vector>

// Runs argv[0] (found on the PATH) with no input, its output going to
// patchkit's standard error (nowhere when `quiet`), and waits for it. Its
// exit code; -1 when it could not be started at all (not installed), -2
// when it did not exit normally.
int RunProgram(const std::vector<std::string> &argv, bool quiet = false);
