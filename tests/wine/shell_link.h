// Reads a shell link back through the shell's own IShellLinkA, for the
// Windows tests and the scenario scripts' link printer.
#pragma once

#include <string>

struct LinkFields {
  std::string path, workingDir, description, iconPath;
  int iconIndex = -1;
};

// False when the link cannot be loaded; a field the shell cannot give stays
// empty.
bool ReadShellLink(const char *linkPath, LinkFields *fields);
