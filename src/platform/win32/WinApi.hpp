#pragma once
// windows.h as the Win32 side includes it: without the old socket header that clashes with
// winsock2, and without the min/max macros that break std::min and std::max.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
