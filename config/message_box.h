// The message box, the one way the system speaks to the user, and the
// process exit that follows a fatal message. One implementation per platform
// (message_box_posix.cpp, message_box_win32.cpp); the catalogue and the
// patcher both call it.
#pragma once

#include "core/types.h"

// Message box types (the Win32 values) and the buttons a box answers.
const u32 kMbOk = 0;
const u32 kMbAbortRetryIgnore = 2;
const u32 kMbYesNo = 4;
const u32 kMbIconError = 16;
const u32 kMbIconQuestion = 32;
const u32 kMbIconInformation = 64;

const int kIdOk = 1;
const int kIdAbort = 3;
const int kIdRetry = 4;
const int kIdIgnore = 5;
const int kIdYes = 6;
const int kIdNo = 7;

// Shows a modal message box without owner window and returns the button
// pressed; 0 when the box could not be shown.
int PlatformMessageBox(const char *text, const char *caption, u32 type);

// Ends the process with `code` through the normal process exit.
[[noreturn]] void PlatformExitProcess(int code);
