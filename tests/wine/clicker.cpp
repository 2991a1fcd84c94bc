// The test runs' hand on the mouse: waits up to 30 s for a top-level dialog
// window (a message box or the progress dialog) with a given caption and the
// button to press, prints what it shows and presses that button.
//
//   vask_clicker CAPTION BUTTON [TEXT-HAS]
//
// BUTTON is yes, no, ok, abort, retry, ignore or none (only read). The text is
// a message box's, or the progress dialog's when the window has no message
// box text. TEXT-HAS picks, among windows of the same caption, one whose text
// contains it. Printed on standard output, one line each:
//   caption=<caption>
//   text=<text, line feeds shown as |, carriage returns dropped>
//   buttons=<button texts in window order, separated by />
//   progress=<position>/<range>   (the progress dialog's bar)
// Exit codes: 0 done; 1 no such window in time; 2 bad arguments; 3 the
// window did not close after the button was pressed.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/win32.h"
#include "patcher/platform_win32.h"
// After the tamed Windows headers.
#include <commctrl.h>

namespace {

const DWORD kTimeoutMs = 30000;
const int kMessageBoxTextId = 0xFFFF;

const char *gCaption;
const char *gTextHas = "";
int gButton = 0;

std::string WindowText(HWND window) {
  char buffer[8192];
  DWORD_PTR copied = 0;
  // A hung window must not hang the test.
  if (window == nullptr ||
      SendMessageTimeoutA(window, WM_GETTEXT, sizeof(buffer), reinterpret_cast<LPARAM>(buffer),
                          SMTO_ABORTIFHUNG, 2000, &copied) == 0) {
    return std::string();
  }
  buffer[sizeof(buffer) - 1] = '\0';
  return buffer;
}

std::string ClassOf(HWND window) {
  char name[64];
  int n = GetClassNameA(window, name, sizeof(name));
  return std::string(name, n > 0 ? n : 0);
}

std::string DialogText(HWND dialog) {
  HWND text = GetDlgItem(dialog, kMessageBoxTextId);
  return WindowText(text != nullptr ? text : GetDlgItem(dialog, kProgressTextId));
}

BOOL CALLBACK MatchWindow(HWND window, LPARAM found) {
  // The button must be there: the progress dialog shares the boxes' caption.
  if (!IsWindowVisible(window) || ClassOf(window) != "#32770" || WindowText(window) != gCaption ||
      (gButton != 0 && GetDlgItem(window, gButton) == nullptr) ||
      DialogText(window).find(gTextHas) == std::string::npos) {
    return TRUE;
  }
  *reinterpret_cast<HWND *>(found) = window;
  return FALSE;
}

BOOL CALLBACK ListWindow(HWND window, LPARAM) {
  if (IsWindowVisible(window)) {
    fprintf(stderr, "  seen: class %s caption \"%s\"\n", ClassOf(window).c_str(),
            WindowText(window).c_str());
  }
  return TRUE;
}

BOOL CALLBACK CollectButton(HWND child, LPARAM names) {
  std::string *out = reinterpret_cast<std::string *>(names);
  if (ClassOf(child) != "Button" || !IsWindowVisible(child)) return TRUE;
  if (!out->empty()) *out += '/';
  for (char c : WindowText(child)) {
    if (c != '&') *out += c;
  }
  return TRUE;
}

}  // namespace

int main(int argc, char **argv) {
  static const struct {
    const char *name;
    int id;
  } kButtons[] = {{"none", 0},         {"ok", IDOK},         {"abort", IDABORT}, {"retry", IDRETRY},
                  {"ignore", IDIGNORE}, {"yes", IDYES},       {"no", IDNO}};
  int id = -1;
  for (const auto &button : kButtons) {
    if (argc >= 3 && strcmp(argv[2], button.name) == 0) id = button.id;
  }
  if (id < 0 || argc > 4) {
    fprintf(stderr, "usage: vask_clicker CAPTION yes|no|ok|abort|retry|ignore|none [TEXT-HAS]\n");
    return 2;
  }
  gCaption = argv[1];
  if (argc == 4) gTextHas = argv[3];
  gButton = id;
  // Plain line feeds for the scripts that read this on Linux.
  _setmode(_fileno(stdout), _O_BINARY);

  HWND window = nullptr;
  for (DWORD start = GetTickCount(); window == nullptr;) {
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&window));
    // A window that has just become visible may still be filling in its
    // controls, or (the progress dialog) be closing: it must still be there.
    Sleep(window != nullptr ? 100 : 50);
    if (window != nullptr && !(IsWindow(window) && IsWindowVisible(window))) window = nullptr;
    if (window == nullptr && GetTickCount() - start >= kTimeoutMs) {
      fprintf(stderr, "vask_clicker: no window \"%s\" in time\n", gCaption);
      EnumWindows(ListWindow, 0);
      return 1;
    }
  }

  std::string buttons, text;
  EnumChildWindows(window, CollectButton, reinterpret_cast<LPARAM>(&buttons));
  for (char c : DialogText(window)) {
    if (c != '\r') text += c == '\n' ? '|' : c;
  }
  printf("caption=%s\ntext=%s\nbuttons=%s\n", WindowText(window).c_str(), text.c_str(),
         buttons.c_str());
  if (HWND bar = GetDlgItem(window, kProgressBarId)) {
    printf("progress=%ld/%ld\n", static_cast<long>(SendMessageA(bar, PBM_GETPOS, 0, 0)),
           static_cast<long>(SendMessageA(bar, PBM_GETRANGE, FALSE, 0)));
  }
  fflush(stdout);
  if (id == 0) return 0;

  PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
  for (DWORD pressed = GetTickCount(); IsWindow(window); Sleep(20)) {
    if (GetTickCount() - pressed >= kTimeoutMs) {
      fprintf(stderr, "vask_clicker: \"%s\" still open after pressing %s\n", gCaption, argv[2]);
      return 3;
    }
  }
  return 0;
}
