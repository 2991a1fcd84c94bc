#include "core/win32.h"
#include "patcher/patcher.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return PatcherRun(); }
