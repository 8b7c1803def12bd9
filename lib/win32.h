// The one include of <windows.h>, with the settings the whole project builds against.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0601
#error "_WIN32_WINNT must be set to 0x0601 or higher by the build"
#endif

#include <windows.h>
