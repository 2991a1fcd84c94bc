#include "wine/shell_link.h"

#include "core/win32.h"
// The shell's headers come after the tamed Windows headers above.
#include <objidl.h>
#include <shlobj.h>

bool ReadShellLink(const char *linkPath, LinkFields *fields) {
  WCHAR wide[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, linkPath, -1, wide, MAX_PATH) == 0) return false;
  CoInitialize(nullptr);
  bool ok = false;
  IShellLinkA *link = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                 reinterpret_cast<void **>(&link)))) {
    IPersistFile *file = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)))) {
      if (SUCCEEDED(file->Load(wide, STGM_READ))) {
        char text[MAX_PATH];
        WIN32_FIND_DATAA find;
        if (SUCCEEDED(link->GetPath(text, MAX_PATH, &find, SLGP_RAWPATH))) fields->path = text;
        if (SUCCEEDED(link->GetWorkingDirectory(text, MAX_PATH))) fields->workingDir = text;
        if (SUCCEEDED(link->GetDescription(text, MAX_PATH))) fields->description = text;
        if (SUCCEEDED(link->GetIconLocation(text, MAX_PATH, &fields->iconIndex))) {
          fields->iconPath = text;
        }
        ok = true;
      }
      file->Release();
    }
    link->Release();
  }
  CoUninitialize();
  return ok;
}
