// Reads a shell link back through the shell's own IShellLinkA and prints its
// fields, one per line, for the test scripts:
//
//   vask_link_info LINK.lnk
//
//   path=<target>
//   workdir=<working directory>
//   description=<description>
//   icon=<icon file>,<icon index>
//
// Exit code 1 when the link cannot be loaded.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "wine/shell_link.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: vask_link_info LINK.lnk\n");
    return 2;
  }
  _setmode(_fileno(stdout), _O_BINARY);
  LinkFields fields;
  if (!ReadShellLink(argv[1], &fields)) {
    fprintf(stderr, "vask_link_info: cannot load %s\n", argv[1]);
    return 1;
  }
  printf("path=%s\n", fields.path.c_str());
  printf("workdir=%s\n", fields.workingDir.c_str());
  printf("description=%s\n", fields.description.c_str());
  printf("icon=%s,%d\n", fields.iconPath.c_str(), fields.iconIndex);
  return 0;
}
