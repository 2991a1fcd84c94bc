// Runs a real program as a child process for end-to-end tests: standard
// input from a text, standard output and error captured, extra environment
// variables, and a bounded wait.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

struct ProcessResult {
  int exitCode = -1;     // 0..255; -1 when it did not exit normally
  bool timedOut = false;
  std::string output;    // standard output and standard error, interleaved
};

// While it runs, `killWhen` (when given) is asked about every 100 µs; once
// it answers true the program is killed with SIGKILL.
ProcessResult RunProcess(const std::vector<std::string> &argv,
                         const std::vector<std::pair<std::string, std::string>> &env,
                         const std::string &input, int timeoutSeconds = 60,
                         const std::function<bool()> &killWhen = nullptr);
