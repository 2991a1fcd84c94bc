// The test runs' hand on the mouse: waits for a top-level dialog window (a
// message box or the progress dialog) with a given caption, prints what it
// shows and presses one of its buttons.
//
//   vask_clicker --caption TEXT [--text-has PART] [--press BUTTON]
//                [--text-id ID] [--timeout-ms N] [--move-to X,Y]
//
// BUTTON is yes, no, ok, cancel, abort, retry, ignore or none (the default:
// only read). ID is the control whose text is read: 0xFFFF (a message box's
// text, the default) or 1000 (the progress dialog's). --text-has picks, among
// windows of the same caption, one whose text contains PART. --move-to puts
// the window's top left corner at X,Y on the screen first (so that a
// screenshot can show it beside the window it covers).
//
// Printed on standard output, one line each:
//   caption=<caption>
//   text=<text, line feeds shown as |, carriage returns dropped>
//   buttons=<button texts in window order, separated by />
//   progress=<position>/<range>   (the progress dialog's bar, when it has one)
// Exit codes: 0 done; 1 no such window within the time; 2 bad arguments;
// 3 the window did not close after the button was pressed.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/win32.h"
#include "patcher/platform_win32.h"
// After the tamed Windows headers.
#include <commctrl.h>

namespace {

struct Options {
  std::string caption;
  std::string textHas;
  std::string press = "none";
  int textId = 0xFFFF;
  DWORD timeoutMs = 20000;
  bool move = false;
  int moveX = 0, moveY = 0;
};

struct Search {
  const Options *options;
  HWND found;
};

const DWORD kMessageTimeoutMs = 2000;

std::string WindowText(HWND window) {
  char buffer[8192];
  DWORD_PTR copied = 0;
  if (SendMessageTimeoutA(window, WM_GETTEXT, sizeof(buffer), reinterpret_cast<LPARAM>(buffer),
                          SMTO_ABORTIFHUNG, kMessageTimeoutMs, &copied) == 0) {
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

std::string ControlText(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  return control == nullptr ? std::string() : WindowText(control);
}

BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
  Search *search = reinterpret_cast<Search *>(param);
  if (!IsWindowVisible(window) || ClassOf(window) != "#32770") return TRUE;
  if (WindowText(window) != search->options->caption) return TRUE;
  if (!search->options->textHas.empty() &&
      ControlText(window, search->options->textId).find(search->options->textHas) ==
          std::string::npos) {
    return TRUE;
  }
  search->found = window;
  return FALSE;
}

BOOL CALLBACK ListWindow(HWND window, LPARAM) {
  if (IsWindowVisible(window)) {
    fprintf(stderr, "  seen: class %s caption \"%s\"\n", ClassOf(window).c_str(),
            WindowText(window).c_str());
  }
  return TRUE;
}

struct Buttons {
  std::string names;
};

BOOL CALLBACK CollectButton(HWND child, LPARAM param) {
  Buttons *buttons = reinterpret_cast<Buttons *>(param);
  if (ClassOf(child) != "Button" || !IsWindowVisible(child)) return TRUE;
  std::string name;
  for (char c : WindowText(child)) {
    if (c != '&') name += c;
  }
  if (!buttons->names.empty()) buttons->names += '/';
  buttons->names += name;
  return TRUE;
}

std::string Flatten(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += '|';
    } else if (c != '\r') {
      out += c;
    }
  }
  return out;
}

int ButtonId(const std::string &name) {
  static const struct {
    const char *name;
    int id;
  } kButtons[] = {{"ok", IDOK},       {"cancel", IDCANCEL}, {"abort", IDABORT},
                  {"retry", IDRETRY}, {"ignore", IDIGNORE}, {"yes", IDYES},
                  {"no", IDNO},       {"none", 0}};
  for (const auto &button : kButtons) {
    if (name == button.name) return button.id;
  }
  return -1;
}

bool ParseArguments(int argc, char **argv, Options *options) {
  bool haveCaption = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    std::string value = argv[++i];
    if (arg == "--caption") {
      options->caption = value;
      haveCaption = true;
    } else if (arg == "--text-has") {
      options->textHas = value;
    } else if (arg == "--press") {
      options->press = value;
    } else if (arg == "--text-id") {
      options->textId = static_cast<int>(strtol(value.c_str(), nullptr, 0));
    } else if (arg == "--move-to") {
      if (sscanf(value.c_str(), "%d,%d", &options->moveX, &options->moveY) != 2) { return false; }
      options->move = true;
    } else if (arg == "--timeout-ms") {
      options->timeoutMs = static_cast<DWORD>(strtoul(value.c_str(), nullptr, 0));
    } else {
      return false;
    }
  }
  return haveCaption && ButtonId(options->press) >= 0;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  if (!ParseArguments(argc, argv, &options)) {
    fprintf(stderr,
            "usage: vask_clicker --caption TEXT [--text-has PART] [--press "
            "yes|no|ok|cancel|abort|retry|ignore|none] [--text-id ID] "
            "[--timeout-ms N] [--move-to X,Y]\n");
    return 2;
  }

  // Plain line feeds for the scripts that read this on Linux.
  _setmode(_fileno(stdout), _O_BINARY);

  Search search = {&options, nullptr};
  DWORD start = GetTickCount();
  for (;;) {
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) break;
    if (GetTickCount() - start >= options.timeoutMs) {
      fprintf(stderr, "vask_clicker: no window \"%s\" within %lu ms\n", options.caption.c_str(),
              static_cast<unsigned long>(options.timeoutMs));
      EnumWindows(ListWindow, 0);
      return 1;
    }
    Sleep(50);
  }
  HWND window = search.found;
  // A window that has just become visible may still be filling in its
  // controls; give it a moment.
  Sleep(100);

  if (options.move) {
    SetWindowPos(window, nullptr, options.moveX, options.moveY, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    Sleep(200);  // let it repaint where it now is
  }

  Buttons buttons;
  EnumChildWindows(window, CollectButton, reinterpret_cast<LPARAM>(&buttons));
  printf("caption=%s\n", WindowText(window).c_str());
  printf("text=%s\n", Flatten(ControlText(window, options.textId)).c_str());
  printf("buttons=%s\n", buttons.names.c_str());
  if (HWND bar = GetDlgItem(window, kProgressBarId)) {
    printf("progress=%ld/%ld\n", static_cast<long>(SendMessageA(bar, PBM_GETPOS, 0, 0)),
           static_cast<long>(SendMessageA(bar, PBM_GETRANGE, FALSE, 0)));
  }
  fflush(stdout);

  int id = ButtonId(options.press);
  if (id == 0) return 0;
  PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
  DWORD pressed = GetTickCount();
  while (IsWindow(window)) {
    if (GetTickCount() - pressed >= options.timeoutMs) {
      fprintf(stderr, "vask_clicker: \"%s\" still open after pressing %s\n",
              options.caption.c_str(), options.press.c_str());
      return 3;
    }
    Sleep(20);
  }
  return 0;
}
