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

#include "core/win32.h"
// The shell's headers come after the tamed Windows headers above.
#include <objidl.h>
#include <shlobj.h>

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: vask_link_info LINK.lnk\n");
    return 2;
  }
  _setmode(_fileno(stdout), _O_BINARY);
  WCHAR wide[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, argv[1], -1, wide, MAX_PATH) == 0)
    return 1;
  CoInitialize(nullptr);
  int result = 1;
  IShellLinkA *link = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IShellLinkA,
                                 reinterpret_cast<void **>(&link)))) {
    IPersistFile *file = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile,
                                       reinterpret_cast<void **>(&file)))) {
      if (SUCCEEDED(file->Load(wide, STGM_READ))) {
        char text[MAX_PATH] = "";
        WIN32_FIND_DATAA find;
        int index = -1;
        link->GetPath(text, MAX_PATH, &find, SLGP_RAWPATH);
        printf("path=%s\n", text);
        text[0] = '\0';
        link->GetWorkingDirectory(text, MAX_PATH);
        printf("workdir=%s\n", text);
        text[0] = '\0';
        link->GetDescription(text, MAX_PATH);
        printf("description=%s\n", text);
        text[0] = '\0';
        link->GetIconLocation(text, MAX_PATH, &index);
        printf("icon=%s,%d\n", text, index);
        result = 0;
      } else {
        fprintf(stderr, "vask_link_info: cannot load %s\n", argv[1]);
      }
      file->Release();
    }
    link->Release();
  }
  CoUninitialize();
  return result;
}
