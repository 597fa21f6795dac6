// <windows.h> without its min/max macros and rarely used parts, for the few calls that
// differ on Windows. Include it only under `#if defined(_WIN32)`.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
