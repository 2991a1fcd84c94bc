#include "patcher/patcher.h"

int main() { return PatcherRun(); }
