#include "support/process.h"

// End-to-end runs of the Windows programs are driven from the Wine harness;
// the unit-test programs never start processes there.
ProcessResult RunProcess(
    const std::vector<std::string> &,
    const std::vector<std::pair<std::string, std::string>> &,
    const std::string &, int, const std::function<bool()> &) {
  return ProcessResult();
}
