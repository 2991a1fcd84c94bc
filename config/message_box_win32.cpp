// Message boxes on Win32: MessageBoxA without owner window.
#include <cstdlib>

#include "config/message_box.h"
#include "core/win32.h"

int PlatformMessageBox(const char *text, const char *caption, u32 type) {
  return MessageBoxA(nullptr, text, caption, type);
}

void PlatformExitProcess(int code) {
  // The normal process exit: the pools' exit handlers run.
  exit(code);
}
