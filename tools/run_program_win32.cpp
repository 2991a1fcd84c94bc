#include <process.h>

#include "tools/run_program.h"

// The child shares the console; `quiet` cannot silence it here.
int RunProgram(const std::vector<std::string> &argv, bool) {
  // The child's command line is joined from the arguments: quote those with
  // spaces.
  std::vector<std::string> quoted;
  for (const std::string &a : argv)
    quoted.push_back(a.find(' ') == std::string::npos ? a : "\"" + a + "\"");
  std::vector<const char *> args;
  for (const std::string &a : quoted) args.push_back(a.c_str());
  args.push_back(nullptr);
  intptr_t code = _spawnvp(_P_WAIT, args[0], args.data());
  return code < 0 ? -1 : static_cast<int>(code);
}
