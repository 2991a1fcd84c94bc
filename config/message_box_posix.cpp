// Message boxes on a terminal: caption and text on standard output, the
// answer one line on standard input (its first letter names the button,
// an empty line is OK where the box has one). The end of input answers as a
// box that could not be shown.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include "config/console_posix.h"
#include "config/message_box.h"

namespace {

pthread_mutex_t sConsoleLock = PTHREAD_MUTEX_INITIALIZER;
u32 sLiveLength = 0;

struct Buttons {
  const char *prompt;
  char keys[4];  // answer letters, lower case
  int ids[3];
};

const Buttons &ButtonsOf(u32 type) {
  static const Buttons kOk = {"[O]K", "o", {kIdOk}};
  static const Buttons kOkCancel = {"[O]K/[C]ancel", "oc", {kIdOk, 2}};
  static const Buttons kAbortRetryIgnore = {
      "[A]bort/[R]etry/[I]gnore", "ari", {kIdAbort, kIdRetry, kIdIgnore}};
  static const Buttons kYesNoCancel = {
      "[Y]es/[N]o/[C]ancel", "ync", {kIdYes, kIdNo, 2}};
  static const Buttons kYesNo = {"[Y]es/[N]o", "yn", {kIdYes, kIdNo}};
  static const Buttons kRetryCancel = {"[R]etry/[C]ancel", "rc", {kIdRetry, 2}};
  switch (type & 15) {
    case 1:
      return kOkCancel;
    case kMbAbortRetryIgnore:
      return kAbortRetryIgnore;
    case 3:
      return kYesNoCancel;
    case kMbYesNo:
      return kYesNo;
    case 5:
      return kRetryCancel;
    default:
      return kOk;
  }
}

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

// One answer line: its first letter (lower case), ' ' for an empty line,
// 0 at the end of input.
char ReadAnswer() {
  char first = 0;
  bool any = false;
  for (;;) {
    int c = fgetc(stdin);
    if (c == EOF) break;
    any = true;
    if (c == '\n') break;
    if (!first && c != ' ' && c != '\t' && c != '\r')
      first = Lower(static_cast<char>(c));
  }
  if (!any) return 0;
  return first ? first : ' ';
}

}  // namespace

void ConsoleLock() { pthread_mutex_lock(&sConsoleLock); }
void ConsoleUnlock() { pthread_mutex_unlock(&sConsoleLock); }
u32 ConsoleLiveLine() { return sLiveLength; }
void ConsoleSetLiveLine(u32 length) { sLiveLength = length; }
void ConsoleEndLiveLine() {
  if (sLiveLength) {
    fputc('\n', stdout);
    sLiveLength = 0;
  }
}

int PlatformMessageBox(const char *text, const char *caption, u32 type) {
  const Buttons &b = ButtonsOf(type);
  ConsoleLock();
  ConsoleEndLiveLine();
  fprintf(stdout, "== %s ==\n%s\n", caption ? caption : "", text ? text : "");
  ConsoleUnlock();
  for (;;) {
    fprintf(stdout, "%s\n", b.prompt);
    fflush(stdout);
    char answer = ReadAnswer();
    if (answer == 0) return 0;
    if (answer == ' ' && b.keys[0] == 'o') return kIdOk;
    for (int i = 0; b.keys[i]; ++i)
      if (answer == b.keys[i]) return b.ids[i];
  }
}

void PlatformExitProcess(int code) {
  fflush(stdout);
  fflush(stderr);
  exit(code);
}
