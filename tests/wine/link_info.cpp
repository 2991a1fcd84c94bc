// Reads a shell link back through the shell's own IShellLinkA and prints its
// fields, one per line, for the scenario script:
//
//   vask_link_info LINK.lnk
//
//   path=<target>  workdir=<working directory>  description=<description>
//   icon=<icon file>,<icon index>
//
// Exit code 1 when the link cannot be loaded.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "core/win32.h"
// The shell's headers come after the tamed Windows headers above.
#include <objidl.h>
#include <shlobj.h>

int main(int argc, char **argv) {
  WCHAR wide[MAX_PATH];
  if (argc != 2 || MultiByteToWideChar(CP_ACP, 0, argv[1], -1, wide, MAX_PATH) == 0) return 2;
  _setmode(_fileno(stdout), _O_BINARY);
  CoInitialize(nullptr);
  IShellLinkA *link = nullptr;
  IPersistFile *file = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                              reinterpret_cast<void **>(&link))) ||
      FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file))) ||
      FAILED(file->Load(wide, STGM_READ))) {
    fprintf(stderr, "vask_link_info: cannot load %s\n", argv[1]);
    return 1;
  }
  // A field the shell cannot give prints empty.
  char text[MAX_PATH] = "";
  WIN32_FIND_DATAA find;
  int icon = -1;
  if (FAILED(link->GetPath(text, MAX_PATH, &find, SLGP_RAWPATH))) text[0] = '\0';
  printf("path=%s\n", text);
  if (FAILED(link->GetWorkingDirectory(text, MAX_PATH))) text[0] = '\0';
  printf("workdir=%s\n", text);
  if (FAILED(link->GetDescription(text, MAX_PATH))) text[0] = '\0';
  printf("description=%s\n", text);
  if (FAILED(link->GetIconLocation(text, MAX_PATH, &icon))) text[0] = '\0';
  printf("icon=%s,%d\n", text, icon);
  return 0;
}
