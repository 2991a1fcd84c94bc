// The Windows headers, tamed: no min/max macros, and the A/W name macros that
// collide with the library's own method names removed.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#undef GetClassName
#undef Yield
